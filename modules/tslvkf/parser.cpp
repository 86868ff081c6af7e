// The parser shared by both forms: template definitions and data objects, read from a lexer
// straight into packed blocks.
#include <type_traits>

#include "document.h"
#include "layout.h"
#include "lexer.h"

namespace vek {

using lyr::ErrVekBadChild;
using lyr::ErrVekBadData;
using lyr::ErrVekBadSyntax;
using lyr::ErrVekBadTemplate;
using lyr::ErrVekTooDeep;
using lyr::ErrVekUndefinedTemplate;
using lyr::Ok;

#define VEK_TRY(expr)        \
  do {                       \
    LyrResult r_ = (expr);   \
    if (r_ != Ok) return r_; \
  } while (0)

namespace {

template <class L>
class Parser {
 public:
  Parser(L& lex, TemplateSet* set, Document* doc) : lex_(lex), set_(set), doc_(doc) {}

  LyrResult ParseAll() {
    for (;;) {
      Token t;
      VEK_TRY(lex_.Next(&t));
      switch (t.kind) {
        case Tok::kEnd:
          return Ok;
        case Tok::kComma:
        case Tok::kSemicolon:
          break;
        case Tok::kTemplate:
          VEK_TRY(ParseTemplate());
          break;
        case Tok::kName: {
          if (!doc_) return ErrVekBadSyntax;  // template blocks hold templates only
          Node* n = nullptr;
          VEK_TRY(ParseObject(t.text, 0, &n));
          doc_->roots().push_back(n);
          break;
        }
        default:
          return ErrVekBadSyntax;
      }
    }
  }

 private:
  static bool TypeOf(Tok k, Kind* out) {
    switch (k) {
      case Tok::kWord:
        *out = Kind::kWord;
        return true;
      case Tok::kDword:
        *out = Kind::kDword;
        return true;
      case Tok::kFloatType:
        *out = Kind::kFloat;
        return true;
      case Tok::kUchar:
        *out = Kind::kUchar;
        return true;
      case Tok::kStringType:
        *out = Kind::kString;
        return true;
      default:
        return false;
    }
  }

  LyrResult ParseRestriction(Template* t) {
    Token tok;
    VEK_TRY(lex_.Next(&tok));
    if (tok.kind == Tok::kDot) {
      for (int i = 0; i < 2; ++i) {
        VEK_TRY(lex_.Next(&tok));
        if (tok.kind != Tok::kDot) return ErrVekBadSyntax;
      }
      VEK_TRY(lex_.Next(&tok));
      if (tok.kind != Tok::kRBracket) return ErrVekBadSyntax;
      t->restriction = Restriction::kOpen;
      return Ok;
    }
    t->restriction = Restriction::kRestricted;
    for (;;) {
      if (tok.kind != Tok::kName) return ErrVekBadSyntax;
      AllowedChild a;
      a.name = tok.text;
      VEK_TRY(lex_.Next(&tok));
      if (tok.kind == Tok::kGuid) {
        a.hasId = true;
        a.id = tok.guid;
        VEK_TRY(lex_.Next(&tok));
      }
      if (a.name == "BINARY" && !a.hasId)
        t->allowBinary = true;
      else if (t->allowed.size() >= kMaxAllowedChildren)
        return ErrVekBadTemplate;
      else
        t->allowed.push_back(std::move(a));
      if (tok.kind == Tok::kRBracket) return Ok;
      if (tok.kind != Tok::kComma) return ErrVekBadSyntax;
      VEK_TRY(lex_.Next(&tok));
    }
  }

  LyrResult ParseTemplate() {
    auto t = std::make_unique<Template>();
    Token tok;
    VEK_TRY(lex_.Next(&tok));
    if (tok.kind != Tok::kName) return ErrVekBadSyntax;
    t->name = tok.text;
    VEK_TRY(lex_.Next(&tok));
    if (tok.kind != Tok::kGuid) return ErrVekBadSyntax;
    t->id = tok.guid;
    VEK_TRY(lex_.Next(&tok));
    if (tok.kind != Tok::kLBrace) return ErrVekBadSyntax;
    bool restricted = false;
    std::unordered_map<std::string, int> memberIndex;
    for (;;) {
      VEK_TRY(lex_.Next(&tok));
      if (tok.kind == Tok::kRBrace) break;
      if (tok.kind == Tok::kSemicolon || tok.kind == Tok::kComma) continue;
      if (restricted) return ErrVekBadSyntax;  // the restriction comes last
      if (tok.kind == Tok::kLBracket) {
        VEK_TRY(ParseRestriction(t.get()));
        restricted = true;
        continue;
      }
      Member m;
      if (tok.kind == Tok::kArray) {
        m.array = true;
        VEK_TRY(lex_.Next(&tok));
      }
      if (!TypeOf(tok.kind, &m.kind)) {
        if (tok.kind != Tok::kName) return ErrVekBadSyntax;
        m.kind = Kind::kTemplate;
        m.type = set_->FindByName(tok.text);
        if (!m.type) return ErrVekUndefinedTemplate;
        // A template without values could be repeated without consuming input.
        if (m.type->minScalars == 0) return ErrVekBadTemplate;
      }
      VEK_TRY(lex_.Next(&tok));
      if (tok.kind != Tok::kName) return ErrVekBadSyntax;
      m.name = tok.text;
      if (!memberIndex.emplace(m.name, static_cast<int>(t->members.size())).second)
        return ErrVekBadTemplate;
      while (lex_.ConsumeIf('[')) {
        Dim d;
        VEK_TRY(lex_.Next(&tok));
        if (tok.kind == Tok::kInteger) {
          d.fixed = tok.value;
        } else if (tok.kind == Tok::kName) {
          auto it = memberIndex.find(std::string(tok.text));
          // Only earlier members count (the member itself is not in the list yet).
          if (it == memberIndex.end() || it->second >= static_cast<int>(t->members.size()))
            return ErrVekBadTemplate;
          d.member = it->second;
          Member& c = t->members[static_cast<size_t>(d.member)];
          if (!IsInteger(c.kind) || c.array) return ErrVekBadTemplate;
          if (c.countSlot < 0) {
            if (t->countSlots >= kMaxCountMembers) return ErrVekBadTemplate;
            c.countSlot = t->countSlots++;
          }
        } else {
          return ErrVekBadSyntax;
        }
        VEK_TRY(lex_.Next(&tok));
        if (tok.kind != Tok::kRBracket) return ErrVekBadSyntax;
        m.dims.push_back(d);
      }
      if (m.array != !m.dims.empty()) return ErrVekBadTemplate;
      t->members.push_back(std::move(m));
    }
    if (!FinishTemplate(*t)) return ErrVekBadTemplate;
    return set_->Add(std::move(t));
  }

  // Reads n values of kind k (not a template) into the block.
  LyrResult ReadValues(Kind k, uint64_t n, ByteBuffer& b, uint32_t* first) {
    if (n > lex_.Remaining()) return ErrVekBadData;  // every value takes input
    uint64_t bytes = n * ScalarSize(k);
    if (bytes > UINT32_MAX - b.size()) return ErrVekBadData;
    if (n == 0) return Ok;
    uint32_t count = static_cast<uint32_t>(n);
    uint8_t* dst = b.Grow(static_cast<size_t>(bytes));
    switch (k) {
      case Kind::kFloat:
        VEK_TRY(lex_.ReadFloats(count, dst));
        break;
      case Kind::kString:
        for (uint32_t i = 0; i < count; ++i) {
          std::string_view s;
          VEK_TRY(lex_.ReadString(&s));
          const char* copy = doc_->arena().CopyString(s);
          std::memcpy(dst + size_t{i} * sizeof(copy), &copy, sizeof(copy));
        }
        break;
      default:
        VEK_TRY(lex_.ReadInts(k, count, dst));
        if (first) *first = ReadCount(k, dst);
        break;
    }
    return Ok;
  }

  // A record of DWORD members only, each a single value or an array of one dimension (fixed, or
  // counted by an earlier member): face records. Its block bytes are its values in input order.
  struct DwordPlan {
    uint32_t members = 0;
    uint32_t fixed[kMaxCountMembers];  // values of a member without a counting member
    int countedBy[kMaxCountMembers];   // slot of the counting member, or -1
    int slot[kMaxCountMembers];        // slot this member fills, or -1
  };
  static bool MakeDwordPlan(const Template& t, DwordPlan* plan) {
    if (t.members.empty() || t.members.size() > kMaxCountMembers) return false;
    for (const Member& m : t.members) {
      if (m.kind != Kind::kDword || m.dims.size() > 1) return false;
      uint32_t j = plan->members++;
      plan->fixed[j] = m.dims.empty() ? 1 : m.dims[0].fixed;
      plan->countedBy[j] = m.dims.empty() || m.dims[0].member < 0
                               ? -1
                               : t.members[static_cast<size_t>(m.dims[0].member)].countSlot;
      plan->slot[j] = m.countSlot;
    }
    return true;
  }

  // Takes the whole records of an array (at most count) that lie in the binary lexer's current
  // integer list, with one copy; the checks are those ReadStruct makes, and a record that does
  // not fit (or would pass the block limit) is left to it. Returns the records taken.
  uint64_t TakeDwordRecords(const DwordPlan& plan, uint64_t count, ByteBuffer& b) {
    if constexpr (!std::is_same_v<L, BinaryLexer>) {
      return 0;
    } else {
      uint32_t avail;
      const uint8_t* p = lex_.IntegerRun(&avail);
      const uint64_t room = (UINT32_MAX - b.size()) / 4;
      const uint64_t limit = avail < room ? avail : room;
      uint32_t slots[kMaxCountMembers];
      uint64_t used = 0, taken = 0;
      if (plan.members == 2 && plan.fixed[0] == 1 && plan.countedBy[0] < 0 && plan.slot[0] >= 0 &&
          plan.countedBy[1] == plan.slot[0] && plan.slot[1] < 0) {
        // A count and that many values: the usual face record.
        for (; taken < count && used < limit; ++taken) {
          const uint64_t n = Load32(p + 4 * used);
          if (n > limit - used - 1) break;
          used += 1 + n;
        }
        count = taken;
      }
      for (; taken < count; ++taken) {
        uint64_t at = used;
        for (uint32_t j = 0; j < plan.members; ++j) {
          const uint64_t n = plan.countedBy[j] >= 0 ? slots[plan.countedBy[j]] : plan.fixed[j];
          if (n > limit - at) goto done;
          if (plan.slot[j] >= 0) slots[plan.slot[j]] = Load32(p + 4 * at);
          at += n;
        }
        used = at;
      }
    done:
      if (used) {
        b.Append(p, static_cast<size_t>(used) * 4);
        lex_.SkipIntegers(static_cast<uint32_t>(used));
      }
      return taken;
    }
  }

  LyrResult ReadStruct(const Template& t, ByteBuffer& b) {
    uint32_t slots[kMaxCountMembers];
    for (const Member& m : t.members) {
      uint64_t count;
      VEK_TRY(ElementCount(m, t, slots, &count));
      uint32_t* slot = m.countSlot >= 0 ? &slots[m.countSlot] : nullptr;
      if (m.kind != Kind::kTemplate) {
        VEK_TRY(ReadValues(m.kind, count, b, slot));
      } else if (m.type->uniform) {
        VEK_TRY(ReadValues(m.type->uniformKind, count * m.type->uniformCount, b, nullptr));
      } else {
        if (count > lex_.Remaining() / (m.type->minScalars ? m.type->minScalars : 1))
          return ErrVekBadData;
        DwordPlan plan;
        const bool dwords = std::is_same_v<L, BinaryLexer> && MakeDwordPlan(*m.type, &plan);
        for (uint64_t i = 0; i < count; ++i) {
          if (dwords) {
            i += TakeDwordRecords(plan, count - i, b);
            if (i == count) break;
          }
          size_t before = b.size();
          VEK_TRY(ReadStruct(*m.type, b));
          // Room for the rest at the first element's size, while that stays within what the
          // input can fill (a block takes at most 8 bytes per byte of input).
          if (i == 0 && count > 1) {
            uint64_t more = (count - 1) * uint64_t{b.size() - before};
            if (more / 8 <= lex_.Remaining() && more <= UINT32_MAX)
              b.Reserve(b.size() + static_cast<size_t>(more));
          }
        }
      }
    }
    return Ok;
  }

  LyrResult ParseObject(std::string_view templateName, int depth, Node** out) {
    if (depth >= kMaxObjectDepth) return ErrVekTooDeep;
    const Template* t = set_->FindByName(templateName);
    if (!t) return ErrVekUndefinedTemplate;
    Node* node = new (doc_->arena().Allocate(sizeof(Node), alignof(Node))) Node();
    doc_->nodes().push_back(node);
    node->tmpl = t;
    Token tok;
    VEK_TRY(lex_.Next(&tok));
    if (tok.kind == Tok::kName || tok.kind == Tok::kString) {
      node->name = doc_->arena().CopyString(tok.text);
      node->nameLen = static_cast<uint32_t>(tok.text.size());
      VEK_TRY(lex_.Next(&tok));
    }
    if (tok.kind == Tok::kGuid) {
      node->hasId = true;
      node->id = tok.guid;
      VEK_TRY(lex_.Next(&tok));
    }
    if (tok.kind != Tok::kLBrace) return ErrVekBadSyntax;
    {
      ByteBuffer b;
      VEK_TRY(ReadStruct(*t, b));
      node->size = static_cast<uint32_t>(b.size());
      node->block = b.Release();
    }
    std::vector<Child> kids;
    for (;;) {
      VEK_TRY(lex_.Next(&tok));
      Child c;
      switch (tok.kind) {
        case Tok::kRBrace: {
          if (!kids.empty()) {
            node->children = doc_->arena().NewArray<Child>(kids.size());
            std::memcpy(static_cast<void*>(node->children), kids.data(),
                        kids.size() * sizeof(Child));
            node->childCount = static_cast<uint32_t>(kids.size());
          }
          *out = node;
          return Ok;
        }
        case Tok::kComma:
        case Tok::kSemicolon:
          continue;
        case Tok::kName: {
          const Template* ct = set_->FindByName(tok.text);
          if (!ct) return ErrVekUndefinedTemplate;
          if (!t->Accepts(*ct)) return ErrVekBadChild;
          c.kind = ChildKind::kObject;
          VEK_TRY(ParseObject(tok.text, depth + 1, &c.node));
          break;
        }
        case Tok::kLBrace: {
          if (t->restriction == Restriction::kClosed) return ErrVekBadChild;
          c.kind = ChildKind::kReference;
          VEK_TRY(lex_.Next(&tok));
          if (tok.kind == Tok::kName || tok.kind == Tok::kString) {
            c.name = doc_->arena().CopyString(tok.text);
            c.nameLen = static_cast<uint32_t>(tok.text.size());
            VEK_TRY(lex_.Next(&tok));
          }
          if (tok.kind == Tok::kGuid) {
            c.hasId = true;
            c.id = tok.guid;
            VEK_TRY(lex_.Next(&tok));
          }
          if (tok.kind != Tok::kRBrace || (!c.name && !c.hasId)) return ErrVekBadSyntax;
          break;
        }
        case Tok::kBinary: {
          if (t->restriction != Restriction::kOpen && !t->allowBinary) return ErrVekBadChild;
          c.kind = ChildKind::kBinary;
          ByteBuffer blob;
          VEK_TRY(lex_.ReadBlob(&blob));
          uint8_t* copy = doc_->arena().NewArray<uint8_t>(blob.size());
          if (blob.size()) std::memcpy(copy, blob.data(), blob.size());
          c.bytes = copy;
          c.size = static_cast<uint32_t>(blob.size());
          break;
        }
        case Tok::kInteger:
        case Tok::kFloat:
        case Tok::kString:
          return ErrVekBadData;  // more values than the template holds
        default:
          return ErrVekBadSyntax;
      }
      kids.push_back(c);
    }
  }

  L& lex_;
  TemplateSet* set_;
  Document* doc_;
};

template <class F>
LyrResult WithLexer(const uint8_t* data, size_t size, ByteBuffer* inflated, F&& f) {
  Header h;
  VEK_TRY(ParseHeader(data, size, &h));
  const uint8_t* body = data + kHeaderSize;
  size_t n = size - kHeaderSize;
  if (h.compressed) {
    VEK_TRY(Inflate(body, n, inflated));
    body = inflated->data();
    n = inflated->size();
  }
  if (h.form == Form::kText) {
    TextLexer lex(body, n, h.doubles);
    return f(lex);
  }
  BinaryLexer lex(body, n, h.doubles);
  return f(lex);
}

}  // namespace

LyrResult Document::Parse(const uint8_t* data, size_t size) {
  ByteBuffer inflated;
  VEK_TRY(WithLexer(data, size, &inflated, [&](auto& lex) {
    Parser<std::remove_reference_t<decltype(lex)>> p(lex, &templates_, this);
    return p.ParseAll();
  }));
  ResolveReferences();
  return Ok;
}

LyrResult Document::ParseTemplates(const uint8_t* data, size_t size, TemplateSet* set) {
  ByteBuffer inflated;
  return WithLexer(data, size, &inflated, [&](auto& lex) {
    Parser<std::remove_reference_t<decltype(lex)>> p(lex, set, nullptr);
    return p.ParseAll();
  });
}

void Document::ResolveReferences() {
  // First object in file order by name, by identifier, and by both.
  std::unordered_map<std::string_view, Node*> byName;
  std::unordered_map<std::string, Node*> byId, byBoth;
  auto idKey = [](const Guid& g) { return std::string(reinterpret_cast<const char*>(&g), 16); };
  for (Node* n : nodes_) {
    std::string_view name(n->name ? n->name : "", n->nameLen);
    if (n->name) byName.emplace(name, n);
    if (n->hasId) {
      std::string id = idKey(n->id);
      byId.emplace(id, n);
      if (n->name) byBoth.emplace(id.append(name), n);
    }
  }
  for (Node* n : nodes_) {
    for (uint32_t i = 0; i < n->childCount; ++i) {
      Child& c = n->children[i];
      if (c.kind != ChildKind::kReference) continue;
      std::string_view name(c.name ? c.name : "", c.nameLen);
      c.node = nullptr;
      if (!c.hasId) {
        auto it = byName.find(name);
        if (it != byName.end()) c.node = it->second;
      } else if (!c.name) {
        auto it = byId.find(idKey(c.id));
        if (it != byId.end()) c.node = it->second;
      } else {
        auto it = byBoth.find(idKey(c.id).append(name));
        if (it != byBoth.end()) c.node = it->second;
      }
    }
  }
}

namespace {
// Stops the walk at one member of the outermost level.
struct MemberFinder : LayoutVisitor {
  std::string_view name;
  bool found = false;
  size_t begin = 0;
  bool BeginMember(const Member& m, int level, size_t offset) {
    if (level == 0 && m.name == name) {
      found = true;
      begin = offset;
    }
    return true;
  }
  bool EndMember(const Member& m, int level, size_t) { return !(level == 0 && m.name == name); }
};
}  // namespace

LyrResult FindMember(const Template& t, const uint8_t* block, size_t size, std::string_view name,
                     size_t* offset, size_t* length) {
  bool known = false;
  for (const Member& m : t.members) known = known || m.name == name;
  if (!known) return lyr::ErrVekNotFound;
  MemberFinder f;
  f.name = name;
  size_t end = 0;
  LyrResult r = WalkLayout(t, block, size, &end, f);
  if (!f.found || (r != Ok && r != kWalkStopped)) return ErrVekBadData;
  *offset = f.begin;
  *length = end - f.begin;
  return Ok;
}

}  // namespace vek
