#include "support/volume_snapshot.h"

namespace support {
namespace {

void Walk(const std::u16string& path, Snapshot* out) {
  sim::NodeInfo info = sim::Inspect(path);
  if (!info.exists) return;
  Entry e;
  e.isDirectory = info.isDirectory;
  e.attributes = info.attributes;
  e.reparseTag = info.reparseTag;
  e.reparseData = info.reparseData;
  e.linkCount = info.linkCount;
  e.fileId = info.fileId;
  (*out)[path] = e;
  if (!info.isDirectory || info.reparseTag != 0) return;
  const std::u16string base = path.back() == u'\\' ? path : path + u"\\";
  for (const auto& name : sim::List(path)) Walk(base + name, out);
}

}  // namespace

Snapshot Take(const std::u16string& root) {
  Snapshot s;
  Walk(root, &s);
  return s;
}

Snapshot TakeAll() {
  Snapshot s;
  for (char16_t letter : sim::Volumes()) Walk(std::u16string(1, letter) + u":\\", &s);
  return s;
}

Snapshot WithoutIds(Snapshot s) {
  for (auto& kv : s) kv.second.fileId = 0;
  return s;
}


}  // namespace support
