// Declarations and format codes from arbitrary bytes: every walk stays inside the 65-entry array
// (which need not hold an end marker), a code made from a declaration converts to elements and back
// to itself, and reads and writes of any element type stay inside the element.
#include <cstdint>
#include <cstring>

#include "lyr/vertex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lyr;
  VertexElement decl[MaxElementEntries];
  const size_t n = size < sizeof decl ? size : sizeof decl;
  std::memset(decl, 0xFF, sizeof decl);
  std::memcpy(decl, data, n);

  FormatCode code = 0;
  if (ElementsToFormatCode(decl, &code) == Ok) {
    VertexElement back[MaxElementEntries];
    FormatCode again = 0;
    if (FormatCodeToElements(code, back) != Ok || ElementsToFormatCode(back, &again) != Ok ||
        again != code)
      __builtin_trap();
  }
  (void)IsSingleStream(decl);
  VertexElement edited[MaxElementEntries];
  CopyElements(edited, decl);
  if (!ElementsEqual(edited, decl)) __builtin_trap();
  RemoveElement(edited, decl[0].usage, decl[0].usageIndex);
  (void)InsertElement(decl[1].offset, decl[1], edited);
  VertexElement additions[MaxElementEntries];
  std::memset(additions, 0xFF, sizeof additions);
  std::memcpy(additions, decl + 2, (MaxElementEntries - 2) * sizeof(VertexElement));
  (void)AppendElements(additions, edited);
  if (CountElements(edited) > kMaxElements) __builtin_trap();

  if (size >= 4) {
    uint32_t raw;
    std::memcpy(&raw, data, 4);
    VertexElement fromCode[MaxElementEntries];
    if (FormatCodeToElements(raw, fromCode) == Ok &&
        FormatCodeVertexSize(raw) != StreamVertexSize(fromCode, 0))
      __builtin_trap();
  }

  // Every element of the declaration read and written in a block just large enough for it.
  for (uint32_t i = 0; i < CountElements(decl); ++i) {
    VertexElement one[2] = {decl[i], kEndElement};
    const VertexElement& e = one[0];
    one[0].stream = 0;
    one[0].offset = 0;
    uint8_t cell[16];
    std::memset(cell, 0, sizeof cell);
    VertexAccessor a;
    AttachDeclaration(a, one);
    AttachStream(a, 0, cell, 16);
    float v[4];
    ReadElement(a, &e, 0, v, 4);
    WriteElement(a, &e, 0, v, 4);
  }
  return 0;
}
