// Cutting one command line into its letter and two paths.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "runner/runner.h"
#include "sim/sim.h"

namespace {

// The line lives in a heap block of exactly its delivered characters, with no
// terminator behind it, so a scan past the end is caught by the sanitizers.
struct Line {
  explicit Line(const std::u16string& text)
      : size(static_cast<DWORD>(text.size())), units(new WCHAR[text.size() ? text.size() : 1]) {
    for (size_t i = 0; i < text.size(); ++i) units[i] = text[i];
  }
  int Parse(CommandLine* parsed) { return ParseCommandLine(units.get(), size, parsed); }
  std::u16string At(size_t from, size_t count) const {
    return std::u16string(units.get() + from, count);
  }
  DWORD size;
  std::unique_ptr<WCHAR[]> units;
};

// Both closing marks become terminators; the paths start at 4 and three past
// the first mark; nothing else in the line is checked.
TEST(RunnerParse, WellFormedLineCutsInPlace) {
  Line line(u" d \"C:\\link\" \"C:\\target\"\r\n");
  CommandLine parsed;
  ASSERT_EQ(line.Parse(&parsed), 1);
  EXPECT_EQ(parsed.letter, u'd');
  EXPECT_EQ(sim::U8(parsed.firstPath), "C:\\link");
  EXPECT_EQ(sim::U8(parsed.secondPath), "C:\\target");
  EXPECT_EQ(parsed.firstPath, line.units.get() + 4);
  EXPECT_EQ(line.At(24, 2), u"\r\n") << "the tail after the second mark is left alone";

  // Positions 0, 2, 3 and the two after the first mark can hold anything.
  Line odd(u"XjYZa\"PQb\"trailing text");
  ASSERT_EQ(odd.Parse(&parsed), 1);
  EXPECT_EQ(parsed.letter, u'j');
  EXPECT_EQ(sim::U8(parsed.firstPath), "a");
  EXPECT_EQ(sim::U8(parsed.secondPath), "b");
}

// A path's first character is never its closing mark, so single-character
// paths parse and a quotation mark right at a path's start belongs to it.
TEST(RunnerParse, PathsHaveAtLeastOneCharacter) {
  CommandLine parsed;
  Line shortest(u"xk \"a\" \"b\"");
  ASSERT_EQ(shortest.Parse(&parsed), 1);
  EXPECT_EQ(sim::U8(parsed.firstPath), "a");
  EXPECT_EQ(sim::U8(parsed.secondPath), "b");

  Line quoteFirst(u"xk \"\"a\" \"\"b\"");
  ASSERT_EQ(quoteFirst.Parse(&parsed), 1);
  EXPECT_EQ(sim::U8(parsed.firstPath), "\"a");
  EXPECT_EQ(sim::U8(parsed.secondPath), "\"b");
}

// A missing closing mark, or a line too short to hold one, parses to nothing,
// leaves the line unchanged and never reads past the delivered characters.
TEST(RunnerParse, MissingMarksStayInsideTheDeliveredCharacters) {
  const char16_t* cases[] = {u"",     u"x",          u"xd",           u"xd \"a",
                             u"xd \"\"", u"xd \"ab\"",   u"xd \"ab\" \"c", u"xd \"ab\" \"\"",
                             u"xd \"a\"\r\n", u"xd \"abc\" \"\"\r\n"};
  for (const char16_t* text : cases) {
    Line line(text);
    std::u16string before = line.At(0, line.size);
    CommandLine parsed;
    EXPECT_EQ(line.Parse(&parsed), 0) << sim::U8(std::u16string(text));
    EXPECT_EQ(parsed.firstPath, nullptr);
    EXPECT_EQ(parsed.secondPath, nullptr);
    EXPECT_EQ(line.At(0, line.size), before) << "a failed parse writes nothing";
  }
  Line one(u"x");
  CommandLine parsed;
  one.Parse(&parsed);
  EXPECT_EQ(parsed.letter, 0) << "position 1 was not delivered";
  Line two(u"xd");
  two.Parse(&parsed);
  EXPECT_EQ(parsed.letter, u'd');
}

// Marks beyond the delivered count do not exist for the parser, even when the
// buffer behind them holds what looks like the rest of a line.
TEST(RunnerParse, StopsAtTheDeliveredCount) {
  std::u16string text = u"xd \"a\" \"b\"";
  std::unique_ptr<WCHAR[]> units(new WCHAR[text.size()]);
  for (size_t i = 0; i < text.size(); ++i) units[i] = text[i];
  CommandLine parsed;
  EXPECT_EQ(ParseCommandLine(units.get(), static_cast<DWORD>(text.size() - 1), &parsed), 0);
  EXPECT_EQ(units[text.size() - 1], u'"');
  EXPECT_EQ(ParseCommandLine(units.get(), static_cast<DWORD>(text.size()), &parsed), 1);
}

}  // namespace
