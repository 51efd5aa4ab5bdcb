#include "show.h"

#include <cstdio>
#include <utility>

#include "sim/sim.h"
#include "support/record_bytes.h"

namespace lbsim {
namespace {

// A name of `length` bytes at `base + offset`, wholly inside [0, limit).
bool ReadName(const std::vector<uint8_t>& d, size_t limit, size_t base, uint32_t offset,
              uint32_t length, std::u16string* name) {
  if (length % 2 != 0) return false;
  size_t start = base + offset;
  if (start > limit || length > limit - start) return false;
  name->clear();
  for (size_t i = 0; i < length; i += 2) name->push_back(static_cast<char16_t>(support::At16(d, start + i)));
  return true;
}

bool StartsWith(const std::u16string& s, const std::u16string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string TagKind(uint32_t tag) {
  char text[32];
  snprintf(text, sizeof text, "reparse:0x%08x", tag);
  return text;
}

}  // namespace

ReparseView DescribeReparse(const std::vector<uint8_t>& data, bool isDirectory) {
  ReparseView view;
  if (data.size() < 4) {
    view.kind = "reparse:?";
    return view;
  }
  uint32_t tag = support::At32(data, 0);
  view.kind = TagKind(tag);
  if (data.size() < 8) return view;
  // The names must lie inside both the stored data and the span that
  // ReparseDataLength claims (it counts the bytes after the 8-byte header).
  size_t limit = 8 + static_cast<size_t>(support::At16(data, 4));
  if (limit > data.size()) limit = data.size();
  // Both Microsoft layouts carry SubstituteName{Offset,Length} and
  // PrintName{Offset,Length} at bytes 8..15; the symbolic-link form adds a
  // 4-byte Flags field, so its PathBuffer starts at 20 instead of 16.
  size_t pathBuffer;
  if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
    pathBuffer = 16;
  } else if (tag == IO_REPARSE_TAG_SYMLINK) {
    pathBuffer = 20;
  } else {
    return view;
  }
  if (limit < pathBuffer) return view;
  std::u16string substitute, print;
  if (!ReadName(data, limit, pathBuffer, support::At16(data, 8), support::At16(data, 10), &substitute) ||
      !ReadName(data, limit, pathBuffer, support::At16(data, 12), support::At16(data, 14), &print)) {
    return view;
  }
  view.hasTarget = true;
  if (tag == IO_REPARSE_TAG_SYMLINK) {
    view.kind = isDirectory ? "symlink-dir" : "symlink-file";
    view.target = print;
  } else if (StartsWith(substitute, u"\\??\\Volume{")) {
    view.kind = "mount";
    view.target = substitute;
  } else {
    view.kind = "junction";
    view.target = print;
  }
  return view;
}

std::string Printable(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c < 0x20 || c == 0x7F) {
      c = '?';
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string HexLine(const std::vector<uint8_t>& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "  ";
  for (size_t i = 0; i < data.size(); ++i) {
    if (i) out.push_back(' ');
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0xF]);
  }
  return out;
}

std::string FormatTree(char16_t letter, bool dumpReparse, bool dumpData) {
  std::string out;
  std::u16string root = std::u16string(1, letter) + u":\\";
  // An explicit stack rather than recursion: a tree built by cloning through
  // junctions can be thousands of levels deep.
  std::vector<std::u16string> pending{root};
  while (!pending.empty()) {
    std::u16string path = std::move(pending.back());
    pending.pop_back();
    sim::NodeInfo info = sim::Inspect(path);
    std::string line = Printable(path);
    if (!info.exists) {
      out += line + "\tmissing\n";
      continue;
    }
    bool reparse = info.reparseTag != 0 || (info.attributes != INVALID_FILE_ATTRIBUTES &&
                                           (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT));
    if (reparse) {
      ReparseView view = DescribeReparse(info.reparseData, info.isDirectory);
      line += "\t" + view.kind;
      if (view.hasTarget) line += "\t-> " + Printable(view.target);
    } else {
      line += info.isDirectory ? "\tdir" : "\tfile";
    }
    if (!info.isDirectory && info.linkCount > 1) line += "\tlinks=" + std::to_string(info.linkCount);
    out += line + "\n";
    if (reparse && dumpReparse) out += HexLine(info.reparseData) + "\n";
    if (!info.isDirectory && dumpData && !info.content.empty()) out += HexLine(info.content) + "\n";
    if (!info.isDirectory || reparse) continue;
    std::vector<std::u16string> names = sim::List(path);
    std::u16string prefix = path.size() == root.size() ? path : path + u"\\";
    for (auto it = names.rbegin(); it != names.rend(); ++it) pending.push_back(prefix + *it);
  }
  return out;
}

}  // namespace lbsim
