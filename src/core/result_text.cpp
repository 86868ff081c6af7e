// Names and sentences for result codes.
#include "lyr/device.h"
#include "lyr/result.h"
#include "lyr/vekfile.h"

namespace lyr {
namespace {

struct ResultText {
  LyrResult code;
  const char* name;
  const char* message;
};

// One entry per code that a public header defines. A test reads the headers and fails when a
// code is missing here or named differently.
constexpr ResultText kTexts[] = {
    {Ok, "Ok", "success"},
    {ErrOutOfMemory, "ErrOutOfMemory", "an allocation failed"},
    {ErrInvalidCall, "ErrInvalidCall",
     "a missing pointer, a bad count or index, or a call in the wrong state"},
    {ErrFail, "ErrFail",
     "the operation failed (a name not found, no data, a write that fell short)"},
    {ErrInvalidArg, "ErrInvalidArg", "malformed animation data or an unsupported patch form"},
    {ErrNoInterface, "ErrNoInterface", "the object does not answer to that interface identifier"},
    {ErrIndexBufferReadOnly, "ErrIndexBufferReadOnly",
     "a progressive mesh's index buffer can only be locked read-only"},
    {ErrAdjacencyWalkTooLong, "ErrAdjacencyWalkTooLong",
     "a walk around a vertex took more than 10000 steps"},
    {ErrVertexSplitForbidden, "ErrVertexSplitForbidden",
     "grouping by attribute needs split vertices but the flags forbid it"},
    {ErrDeviceCannotBlend, "ErrDeviceCannotBlend", "the device cannot blend enough matrices"},
    {ErrTooManyFaceBones, "ErrTooManyFaceBones",
     "a face needs more bones than the device can blend"},
    {ErrFileOpenFailed, "ErrFileOpenFailed", "a file cannot be opened, created or mapped"},
    {ErrMeshWithoutData, "ErrMeshWithoutData", "a mesh has no faces or no vertices"},
    {kQueryNotReady, "kQueryNotReady", "the device's query has no answer yet"},
    {ErrNotAvailable, "ErrNotAvailable", "the device does not have that feature"},
    {ErrVekFileNotFound, "ErrVekFileNotFound", "the Vek file was not found"},
    {ErrVekBadFileHeader, "ErrVekBadFileHeader", "the Vek file header is not valid"},
    {ErrVekBadSyntax, "ErrVekBadSyntax",
     "malformed Vek input: an unexpected token, a bad number or escape, or a truncated stream"},
    {ErrVekUndefinedTemplate, "ErrVekUndefinedTemplate", "a Vek template is not known"},
    {ErrVekBadTemplate, "ErrVekBadTemplate",
     "a Vek template definition is malformed or conflicts with one already known"},
    {ErrVekBadData, "ErrVekBadData", "Vek data does not fit its template"},
    {ErrVekTooDeep, "ErrVekTooDeep", "Vek objects or members are nested too deeply"},
    {ErrVekBadReference, "ErrVekBadReference", "a Vek reference names no data object of the file"},
    {ErrVekNotFound, "ErrVekNotFound", "no Vek member of that name, or no identifier"},
    {ErrVekNoMoreObjects, "ErrVekNoMoreObjects", "no further Vek objects or children"},
    {ErrVekBadCompression, "ErrVekBadCompression",
     "a compressed Vek stream is corrupt, truncated or too large"},
    {ErrVekBufferTooSmall, "ErrVekBufferTooSmall", "the name buffer is too small"},
    {ErrVekBadChild, "ErrVekBadChild", "a Vek child that its parent's template does not accept"},
    {ErrVekCannotCreateFile, "ErrVekCannotCreateFile", "the Vek file cannot be created"},
    {ErrVekWriteFailed, "ErrVekWriteFailed", "writing the Vek file failed"},
};

const ResultText* Find(LyrResult code) {
  for (const ResultText& t : kTexts) {
    if (t.code == code) return &t;
  }
  return nullptr;
}

}  // namespace

const char* ResultName(LyrResult code) noexcept {
  const ResultText* t = Find(code);
  return t ? t->name : nullptr;
}

const char* ResultMessage(LyrResult code) noexcept {
  if (const ResultText* t = Find(code)) return t->message;
  if (Succeeded(code)) return "a success code the library does not define";
  if ((static_cast<uint32_t>(code) & 0xFFFF0000u) == 0x80070000u)
    return "an operating-system error (its number is the low 16 bits of the code)";
  return "a failure the library does not define, passed on from a graphics device, the Vek "
         "component or a host callback";
}

}  // namespace lyr
