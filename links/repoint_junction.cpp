// Re-pointing a junction (the l command): the new junction is measured before
// anything goes, and an existing junction is rewritten where it stands, so
// that there is no moment without one at the path.
#include "links/links.h"
#include "platform/last_error.h"

DWORD RepointJunction(LPCWSTR junctionPath, LPCWSTR targetPath) {
  // A target that cannot be a junction (an empty one, one too long) is known
  // before the old junction goes: it stays, and the line says why.
  JunctionData data;
  DWORD code = BuildJunction(junctionPath, targetPath, &data);
  if (code != ERROR_SUCCESS) {
    return code;
  }
  // Nothing is removed on a guess: what cannot be looked at stays (a missing
  // path gives the 2 or 3 its removal would).
  const DWORD attributes = GetFileAttributesW(junctionPath);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return LastFailure();
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A junction takes the new data in one write; a mounted folder is
    // refused. A reparse point of another kind (a directory symbolic link)
    // refuses a junction's data with ERROR_REPARSE_TAG_MISMATCH, unchanged,
    // and goes the way of any other directory.
    code = PlaceJunction(junctionPath, data);
    if (code != ERROR_REPARSE_TAG_MISMATCH) {
      return code;
    }
  }
  if (!RemoveDirectoryW(junctionPath)) {
    return LastFailure();
  }
  return PlaceJunction(junctionPath, data);
}
