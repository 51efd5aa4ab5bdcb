// Lines of the clone's verbose output. The C runtime's wide printf converts
// through the C locale, which drops every character outside it, so paths are
// written here: as wide text to a console, as UTF-8 to a file or pipe.
#include "clone/clone.h"

namespace {

// Units or bytes gathered before one write; a line longer than this takes
// several writes.
const DWORD ChunkUnits = 512;
const DWORD ChunkBytes = 1536;

struct LineWriter {
  HANDLE out;
  bool console;
  DWORD used;
  WCHAR units[ChunkUnits];
  BYTE bytes[ChunkBytes];

  // Output is best effort: a closed pipe or a full disk must not change
  // what the clone does, so write failures are not reported.
  void Flush() {
    DWORD written = 0;
    if (used != 0) {
      if (console) {
        WriteConsoleW(out, units, used, &written, NULL);
      } else {
        WriteFile(out, bytes, used, &written, NULL);
      }
    }
    used = 0;
  }

  void PutUnits(const WCHAR* text, DWORD count) {
    if (used + count > ChunkUnits) {
      Flush();
    }
    for (DWORD i = 0; i < count; ++i) {
      units[used++] = text[i];
    }
  }

  void PutBytes(const BYTE* encoded, DWORD count) {
    if (used + count > ChunkBytes) {
      Flush();
    }
    for (DWORD i = 0; i < count; ++i) {
      bytes[used++] = encoded[i];
    }
  }

  // One character at a time, so a surrogate pair is never split between two
  // writes. A lone surrogate becomes U+FFFD, as Windows' own UTF-8
  // conversion writes it.
  void Put(const WCHAR* text) {
    if (text == NULL) {
      return;
    }
    for (DWORD i = 0; text[i] != 0; ++i) {
      DWORD first = text[i];
      bool pair = first >= 0xD800 && first < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
      if (console) {
        PutUnits(text + i, pair ? 2 : 1);
        i += pair ? 1 : 0;
        continue;
      }
      DWORD cp = first;
      if (pair) {
        cp = 0x10000 + ((first - 0xD800) << 10) + (static_cast<DWORD>(text[i + 1]) - 0xDC00);
        ++i;
      } else if (first >= 0xD800 && first < 0xE000) {
        cp = 0xFFFD;
      }
      BYTE encoded[4];
      DWORD n = 0;
      if (cp < 0x80) {
        encoded[n++] = static_cast<BYTE>(cp);
      } else if (cp < 0x800) {
        encoded[n++] = static_cast<BYTE>(0xC0 | (cp >> 6));
        encoded[n++] = static_cast<BYTE>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        encoded[n++] = static_cast<BYTE>(0xE0 | (cp >> 12));
        encoded[n++] = static_cast<BYTE>(0x80 | ((cp >> 6) & 0x3F));
        encoded[n++] = static_cast<BYTE>(0x80 | (cp & 0x3F));
      } else {
        encoded[n++] = static_cast<BYTE>(0xF0 | (cp >> 18));
        encoded[n++] = static_cast<BYTE>(0x80 | ((cp >> 12) & 0x3F));
        encoded[n++] = static_cast<BYTE>(0x80 | ((cp >> 6) & 0x3F));
        encoded[n++] = static_cast<BYTE>(0x80 | (cp & 0x3F));
      }
      PutBytes(encoded, n);
    }
  }
};

}  // namespace

void PrintText(const WCHAR* head, const WCHAR* lead, const WCHAR* rest, bool endLine) {
  // Text the caller printed through the C runtime comes first.
  (void)fflush(stdout);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == NULL || out == INVALID_HANDLE_VALUE) {
    return;
  }
  LineWriter writer;
  writer.out = out;
  DWORD mode = 0;
  writer.console = GetConsoleMode(out, &mode) != 0;
  writer.used = 0;
  writer.Put(head);
  writer.Put(lead);
  writer.Put(rest);
  if (endLine) {
    // A console starts a new line on a line feed; a file gets the CR LF that
    // the C runtime's text mode wrote before.
    writer.Put(writer.console ? TEXT("\n") : TEXT("\r\n"));
  }
  writer.Flush();
}

void PrintLine(const WCHAR* head, const WCHAR* lead, const WCHAR* rest) {
  PrintText(head, lead, rest, true);
}
