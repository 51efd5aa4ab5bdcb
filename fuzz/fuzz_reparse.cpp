// The reparse-point query on arbitrary reparse data planted on a file or a
// directory: any tag, offsets, lengths and size. Besides no crash and no
// handle left open, the kind and target must agree with an independent
// reading of REPARSE_DATA_BUFFER, and nothing may be written into the target
// buffer past its 8192 characters, or at all when no kind is recognised.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "support/record_bytes.h"
#include "links/links.h"

namespace {

const size_t TargetChars = 8192;
const size_t GuardChars = 64;
const WCHAR Untouched = 0xA5A5;


// The reference reading: the name at pathBuffer + offset, or false when it
// does not lie inside the data or cannot fit the 8192-character buffer with
// its terminator.
bool Name(const std::vector<uint8_t>& d, size_t pathBuffer, size_t offset, size_t bytes,
          std::u16string* name) {
  size_t chars = bytes / 2;
  if (chars >= TargetChars) return false;
  if (pathBuffer + offset + chars * 2 > d.size()) return false;
  name->clear();
  for (size_t i = 0; i < chars; ++i) {
    name->push_back(static_cast<char16_t>(support::At16(d, pathBuffer + offset + 2 * i)));
  }
  // The target is a C string: it ends at the first zero.
  size_t nul = name->find(u'\0');
  if (nul != std::u16string::npos) name->resize(nul);
  return true;
}

ReparseKind Expected(const std::vector<uint8_t>& d, std::u16string* target) {
  // What FSCTL_GET_REPARSE_POINT hands back into a 17000-byte buffer.
  std::vector<uint8_t> got(d.begin(), d.begin() + std::min<size_t>(d.size(), 17000));
  if (got.size() < 16) return ReparseKindNone;
  uint32_t tag = support::At16(got, 0) | (support::At16(got, 2) << 16);
  std::u16string name;
  if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
    if (!Name(got, 16, support::At16(got, 8), support::At16(got, 10), &name)) return ReparseKindNone;
    size_t colon = name.find(u':');
    if (colon == 0) return ReparseKindNone;
    if (colon != std::u16string::npos) {
      *target = name.substr(colon - 1);
      return ReparseKindDriveJunction;
    }
    *target = name;
    if (name.size() >= 2) (*target)[1] = u'\\';
    return ReparseKindVolumeMount;
  }
  if (tag == IO_REPARSE_TAG_SYMLINK) {
    if (got.size() < 20 || !Name(got, 20, support::At16(got, 12), support::At16(got, 14), &name)) {
      return ReparseKindNone;
    }
    *target = name;
    return ReparseKindSymbolicLink;
  }
  return ReparseKindNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 17200) return 0;
  lbfuzz::FreshProcess();
  uint8_t flags = data[0];
  uint8_t faultAt = data[1];
  std::vector<uint8_t> reparse(data + 2, data + size);

  bool directory = (flags & 1) != 0;
  bool wantTarget = (flags & 2) == 0;
  std::u16string path = u"C:\\r";
  if (directory) {
    sim::MakeDirs(path);
  } else {
    sim::MakeFile(path);
  }
  sim::PlantReparse(path, reparse);
  // A failed open or control call reports no kind; a failed attribute read
  // (all bits set) goes on to the open, which then decides.
  static const char* const Calls[] = {"GetFileAttributesW", "CreateFileW", "DeviceIoControl"};
  // Flag 8 makes the failure leave the last error as it was (0), as stubs
  // fail: the kind must not depend on the error code.
  const char* faultedCall = (flags & 4) != 0 ? Calls[faultAt % 3] : nullptr;
  const bool silent = (flags & 8) != 0;
  if (faultedCall != nullptr && silent) sim::FailCallSilently(faultedCall, 1);
  if (faultedCall != nullptr && !silent) sim::FailCall(faultedCall, 1, ERROR_ACCESS_DENIED);

  std::vector<WCHAR> target(TargetChars + GuardChars, Untouched);
  SetLastError(silent ? 0 : 0xdeadbeef);
  ReparseKind kind = QueryReparseTarget(path.c_str(), wantTarget ? target.data() : nullptr);
  lbfuzz::CheckNoLeaks();

  std::u16string expectedTarget;
  ReparseKind expected = Expected(sim::Inspect(path).reparseData, &expectedTarget);
  // PlantReparse keeps no tag for fewer than four bytes.
  if (reparse.size() < 4) expected = ReparseKindNone;
  if (faultedCall != nullptr && faultedCall != Calls[0] && sim::FaultsFired() > 0) {
    expected = ReparseKindNone;
  }
  if (kind != expected) {
    lbfuzz::Fail("kind " + std::to_string(kind) + ", expected " + std::to_string(expected));
  }
  for (size_t i = TargetChars; i < target.size(); ++i) {
    if (target[i] != Untouched) lbfuzz::Fail("target written past 8192 characters");
  }
  if (!wantTarget) return 0;
  if (kind == ReparseKindNone) {
    for (size_t i = 0; i < TargetChars; ++i) {
      if (target[i] != Untouched) lbfuzz::Fail("target written although no kind was recognised");
    }
    return 0;
  }
  size_t length = 0;
  while (length < TargetChars && target[length] != 0) ++length;
  if (length == TargetChars) lbfuzz::Fail("target not terminated");
  std::u16string got(target.data(), length);
  if (got != expectedTarget) lbfuzz::Fail("target text differs from the reparse data");
  return 0;
}
