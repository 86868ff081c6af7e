// The Vek file component: the objects through which Vek files are read and written.
//
// The component is the separate module "tslvkf.dll" (libtslvkf.so), loaded at run time; its one
// exported function OrvaneFileCreate makes a VekFile. Templates are registered with a VekFile;
// an enumeration parses a whole file when it is opened and then walks its data objects; a save
// object writes templates and data objects to a file in one of four forms.
//
// Data blocks are a template's members packed in order without padding: WORD 2 bytes, DWORD,
// float 4 bytes, UCHAR 1 byte, arrays inline, nested templates inline, STRING as a native pointer
// to a zero-terminated 8-bit string. The format itself is described in docs/vek-format.md.
//
// Provided by: the static library (CMake target Lyr9abAnim::lyr), the C++ API: the functions of
// namespace lyr::vekio; the shared library does not export them. The objects are the module's.
#pragma once

#include "lyr/object.h"

namespace lyr {

struct VekFile;
struct VekEnumeration;
struct VekDataObject;
struct VekReference;
struct VekSaveObject;

// OpenEnumeration source kinds.
inline constexpr uint32_t kVekSourceFile = 0;    // source: zero-terminated 8-bit file name
inline constexpr uint32_t kVekSourceMemory = 2;  // source: VekMemorySource

// Source record of kVekSourceMemory. The bytes are parsed while OpenEnumeration runs and are not
// needed afterwards.
struct VekMemorySource {
  const void* data;
  size_t size;
};
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(VekMemorySource) == 8);
#endif

// OpenSave format codes.
inline constexpr uint32_t kVekFormatBinary = 0;
inline constexpr uint32_t kVekFormatText = 1;
inline constexpr uint32_t kVekFormatBinaryCompressed = 2;
inline constexpr uint32_t kVekFormatTextCompressed = 3;

// Failures of the component. Null out-pointers and unknown modes or codes give ErrInvalidCall;
// allocation failures ErrOutOfMemory.
inline constexpr LyrResult ErrVekFileNotFound = static_cast<LyrResult>(0x88760390u);
inline constexpr LyrResult ErrVekBadFileHeader = static_cast<LyrResult>(0x88760391u);
// Malformed input: an unknown or unexpected token, a bad number or escape, a truncated stream.
inline constexpr LyrResult ErrVekBadSyntax = static_cast<LyrResult>(0x88760392u);
// A data object, member type or identifier names a template that is not known.
inline constexpr LyrResult ErrVekUndefinedTemplate = static_cast<LyrResult>(0x88760393u);
// A template definition that is malformed or conflicts with one already known.
inline constexpr LyrResult ErrVekBadTemplate = static_cast<LyrResult>(0x88760394u);
// Data that does not fit its template: missing or surplus values, counts beyond the data, a
// value out of its member's range, an array or block larger than 32 bits can count, a block
// whose size differs from what its counts make.
inline constexpr LyrResult ErrVekBadData = static_cast<LyrResult>(0x88760395u);
// Data objects or template members nested deeper than the component allows.
inline constexpr LyrResult ErrVekTooDeep = static_cast<LyrResult>(0x88760396u);
// A reference that names no data object of the file.
inline constexpr LyrResult ErrVekBadReference = static_cast<LyrResult>(0x88760397u);
// No member of that name; no identifier on the object.
inline constexpr LyrResult ErrVekNotFound = static_cast<LyrResult>(0x88760398u);
// The enumeration or the object has no further objects or children.
inline constexpr LyrResult ErrVekNoMoreObjects = static_cast<LyrResult>(0x88760399u);
// A compressed stream that is corrupt, truncated or inflates beyond the size limit.
inline constexpr LyrResult ErrVekBadCompression = static_cast<LyrResult>(0x8876039Au);
// The name buffer given to ReadName is too small; the size needed is returned.
inline constexpr LyrResult ErrVekBufferTooSmall = static_cast<LyrResult>(0x8876039Bu);
// A child of a template that the parent's template does not accept, or a child that would
// make a cycle, belong to two parents or come from another component.
inline constexpr LyrResult ErrVekBadChild = static_cast<LyrResult>(0x8876039Cu);
inline constexpr LyrResult ErrVekCannotCreateFile = static_cast<LyrResult>(0x8876039Du);
inline constexpr LyrResult ErrVekWriteFailed = static_cast<LyrResult>(0x8876039Eu);

struct VekFile : Unknown {
  static constexpr Guid kIid = {
      0x6F1A2C10, 0x5B3E, 0x4D7A, {0x9C, 0x21, 0x0E, 0x5D, 0x8B, 0x3A, 0x7F, 0x01}};
  // Parses the whole source (see the source kinds above) and hands out an enumeration of its
  // top-level data objects. A malformed source fails here with its code.
  virtual LyrResult LYR_CALL OpenEnumeration(const void* source, uint32_t mode,
                                             VekEnumeration** out) = 0;
  // Creates (or replaces) the file and writes its header; format is 0 to 3.
  virtual LyrResult LYR_CALL OpenSave(const char* fileName, uint32_t format,
                                      VekSaveObject** out) = 0;
  // Registers the templates of a block in any of the four forms; all or none are registered.
  // Registering a definition that is already known unchanged succeeds.
  virtual LyrResult LYR_CALL AddTemplates(const void* block, uint32_t size) = 0;

 protected:
  ~VekFile() = default;
};

struct VekEnumeration : Unknown {
  static constexpr Guid kIid = {
      0x6F1A2C11, 0x5B3E, 0x4D7A, {0x9C, 0x21, 0x0E, 0x5D, 0x8B, 0x3A, 0x7F, 0x01}};
  // The next top-level data object in file order, with one reference for the caller;
  // ErrVekNoMoreObjects (and a null *out) after the last.
  virtual LyrResult LYR_CALL NextTopLevelObject(VekDataObject** out) = 0;

 protected:
  ~VekEnumeration() = default;
};

struct VekDataObject : Unknown {
  // The same value as the Mesh template's identifier.
  static constexpr Guid kIid = {
      0x3D82AB44, 0x62DA, 0x11CF, {0xAB, 0x39, 0x00, 0x20, 0xAF, 0x71, 0xE4, 0x33}};
  // With buffer null: *size = name length + 1, or 0 for an unnamed object. With a buffer of
  // *size bytes: copies the name and its terminator (ErrVekBufferTooSmall and the size needed
  // when it does not fit).
  virtual LyrResult LYR_CALL ReadName(char* buffer, uint32_t* size) = 0;
  // The object's own identifier; ErrVekNotFound when it has none.
  virtual LyrResult LYR_CALL ReadId(Guid* out) = 0;
  // The packed block (member null) or one member's part of it. The block stays valid while the
  // object lives and may be changed in place by the caller.
  virtual LyrResult LYR_CALL ReadData(const char* member, uint32_t* size, const void** data) = 0;
  // A pointer to the 16-byte identifier of the object's template, valid while the object lives.
  virtual LyrResult LYR_CALL ReadTemplateId(const Guid** out) = 0;
  // The next child in file order (a data object, a reference or binary data; ask with
  // query-interface), with one reference; ErrVekNoMoreObjects after the last.
  virtual LyrResult LYR_CALL NextChild(Unknown** out) = 0;
  // Appends a data object made by NewDataObject (of the same component) as the next child.
  virtual LyrResult LYR_CALL AddChild(VekDataObject* child) = 0;
  // Appends a reference to the data object of that name (and identifier, when given).
  virtual LyrResult LYR_CALL AddReference(const char* name, const Guid* id) = 0;

 protected:
  ~VekDataObject() = default;
};

struct VekReference : Unknown {
  static constexpr Guid kIid = {
      0x3D82AB45, 0x62DA, 0x11CF, {0xAB, 0x39, 0x00, 0x20, 0xAF, 0x71, 0xE4, 0x33}};
  // The name the reference gives, as VekDataObject::ReadName.
  virtual LyrResult LYR_CALL ReadName(char* buffer, uint32_t* size) = 0;
  // The identifier the reference gives; ErrVekNotFound when it gives none.
  virtual LyrResult LYR_CALL ReadId(Guid* out) = 0;
  // The data object named, with one reference; its children are walked from the first.
  // ErrVekBadReference when the file holds no such object.
  virtual LyrResult LYR_CALL Resolve(VekDataObject** out) = 0;

 protected:
  ~VekReference() = default;
};

// A binary-data child (allowed by templates that name BINARY).
struct VekBinaryData : Unknown {
  static constexpr Guid kIid = {
      0x6F1A2C13, 0x5B3E, 0x4D7A, {0x9C, 0x21, 0x0E, 0x5D, 0x8B, 0x3A, 0x7F, 0x01}};
  virtual LyrResult LYR_CALL ReadData(uint32_t* size, const void** data) = 0;

 protected:
  ~VekBinaryData() = default;
};

struct VekSaveObject : Unknown {
  static constexpr Guid kIid = {
      0x6F1A2C12, 0x5B3E, 0x4D7A, {0x9C, 0x21, 0x0E, 0x5D, 0x8B, 0x3A, 0x7F, 0x01}};
  // Writes the definitions of the registered templates with these identifiers (and of the
  // templates their members use, each once per file).
  virtual LyrResult LYR_CALL WriteTemplates(uint32_t count, const Guid* const* ids) = 0;
  // Makes a data object of a registered template. The block (size bytes, packed) must match the
  // template exactly; it and the strings it points to are copied, so the caller's memory is
  // free again when the call returns. A null STRING pointer is written as an empty string.
  virtual LyrResult LYR_CALL NewDataObject(const Guid& templateId, const char* name, const Guid* id,
                                           uint32_t size, const void* data,
                                           VekDataObject** out) = 0;
  // Writes a data object made by NewDataObject, with its children, as a top-level object.
  virtual LyrResult LYR_CALL WriteObject(VekDataObject* object) = 0;

 protected:
  ~VekSaveObject() = default;
};

// The exported creation function of the component module: makes a VekFile with no templates.
using VekFileCreateFn = LyrResult(LYR_CALL*)(VekFile** out);

// Name of the component module and of its creation function.
inline constexpr char kVekModuleName[] = "tslvkf.dll";
inline constexpr char kVekCreateFunctionName[] = "OrvaneFileCreate";

namespace vekio {

// Loads the component module (once found or loaded it stays loaded) and makes a VekFile with no
// templates. When the module or its creation function cannot be found the result comes from
// the last system error (ErrFail when that error is 0, so that failure is never reported as
// success).
LyrResult CreateVekFile(VekFile** out);

// Registers the library's three template blocks with file, in order: the standard templates
// (binary), then the skinning, patch and effect templates (text), then the vertex data and
// progressive-mesh templates (text). The first failure is returned unchanged.
LyrResult RegisterTemplates(VekFile* file);

// CreateVekFile and RegisterTemplates: a VekFile that reads and writes everything the library
// knows. *out is null on failure.
LyrResult CreateVekFileWithTemplates(VekFile** out);

}  // namespace vekio

}  // namespace lyr
