// The simulated WriteFile, host-routed files and a process killed from
// outside.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support.h"

namespace {

class SimWrite : public lbtest::SimTest {};

HANDLE Open(const char16_t* path, DWORD access, DWORD disposition, DWORD flags = 0) {
  return CreateFileW(path, access, FILE_SHARE_READ, NULL, disposition, flags, NULL);
}

std::string Content(const char16_t* path) {
  sim::NodeInfo info = sim::Inspect(path);
  return std::string(info.content.begin(), info.content.end());
}

// Writes go where the file pointer is and move it on; past the end the file
// grows. The count is zeroed before anything else, and success leaves the
// last error alone.
TEST_F(SimWrite, WritesAtThePointerAndCounts) {
  HANDLE h = Open(u"C:\\f", GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 77;
  SetLastError(0xdeadbeef);
  EXPECT_TRUE(WriteFile(h, "abc", 3, &written, NULL));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  EXPECT_TRUE(WriteFile(h, "de", 2, &written, NULL));
  // A null write neither writes nor truncates.
  EXPECT_TRUE(WriteFile(h, "zz", 0, &written, NULL));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(Content(u"C:\\f"), "abcde");
  EXPECT_TRUE(CloseHandle(h));

  // CREATE_ALWAYS over it starts again from nothing.
  h = Open(u"C:\\f", GENERIC_WRITE, CREATE_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(WriteFile(h, "x", 1, &written, NULL));
  EXPECT_EQ(Content(u"C:\\f"), "x");
  EXPECT_TRUE(CloseHandle(h));

  // OPEN_EXISTING writes over the start; append access alone writes at the end.
  h = Open(u"C:\\f", GENERIC_WRITE, OPEN_EXISTING);
  EXPECT_TRUE(WriteFile(h, "yz", 2, &written, NULL));
  HANDLE append = CreateFileW(u"C:\\f", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
  EXPECT_EQ(append, INVALID_HANDLE_VALUE) << "the first handle does not share writing";
  EXPECT_TRUE(CloseHandle(h));
  append = CreateFileW(u"C:\\f", FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(append, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WriteFile(append, "!", 1, &written, NULL));
  EXPECT_EQ(Content(u"C:\\f"), "yz!");
  EXPECT_TRUE(CloseHandle(append));
}

// Handles that cannot be written: not write-opened, a directory, closed or
// not a file; an injected fault fails the call with the count at zero.
TEST_F(SimWrite, Failures) {
  sim::MakeFile(u"C:\\f");
  sim::MakeDirs(u"C:\\d");
  DWORD written = 9;
  HANDLE h = Open(u"C:\\f", GENERIC_READ, OPEN_EXISTING);
  EXPECT_FAILS_WITH(WriteFile(h, "a", 1, &written, NULL), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FAILS_WITH(WriteFile(h, "a", 1, &written, NULL), FALSE, ERROR_INVALID_HANDLE);
  HANDLE d = Open(u"C:\\d", GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(d, INVALID_HANDLE_VALUE);
  EXPECT_FAILS_WITH(WriteFile(d, "a", 1, &written, NULL), FALSE, ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CloseHandle(d));

  h = Open(u"C:\\f", GENERIC_WRITE, OPEN_EXISTING);
  sim::FailCall("WriteFile", 2, ERROR_DISK_FULL);
  EXPECT_TRUE(WriteFile(h, "a", 1, &written, NULL));
  written = 9;
  EXPECT_FAILS_WITH(WriteFile(h, "b", 1, &written, NULL), FALSE, ERROR_DISK_FULL);
  EXPECT_EQ(written, 0u);
  sim::ShortWrite("WriteFile", 1, 2);
  EXPECT_TRUE(WriteFile(h, "cdef", 4, &written, NULL));
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(Content(u"C:\\f"), "acd");
  EXPECT_TRUE(CloseHandle(h));
}

// A routed path is created on the host, replacing what was there, and each
// write reaches the host file at once; a host path that cannot be created
// fails as CreateFileW does.
TEST_F(SimWrite, RoutedHostFile) {
  char name[] = "/tmp/linkbatch-route-XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "old content", 11), 11);
  close(fd);
  sim::RouteToHost(u"out.txt", name);
  HANDLE h = Open(u"out.txt", GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, "new", 3, &written, NULL));
  FILE* f = fopen(name, "rb");
  char buffer[32] = {};
  EXPECT_EQ(fread(buffer, 1, sizeof buffer, f), 3u);
  fclose(f);
  EXPECT_STREQ(buffer, "new");
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(sim::Inspect(u"C:\\out.txt").exists) << "a routed file reached the volume";
  unlink(name);

  sim::RouteToHost(u"bad.txt", "/nonexistent-linkbatch-dir/x");
  EXPECT_FAILS_WITH(Open(u"bad.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE,
                    ERROR_PATH_NOT_FOUND);
}

// A kill ends the process as the named call begins: that call does nothing
// and is not logged.
TEST_F(SimWrite, TerminateAtCall) {
  sim::MakeDirs(u"C:\\a");
  sim::MakeDirs(u"C:\\b");
  sim::TerminateAtCall("RemoveDirectoryW", 2, 9);
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\a"));
  try {
    RemoveDirectoryW(u"C:\\b");
    ADD_FAILURE() << "the process was not ended";
  } catch (const sim::ProcessExit& exit) {
    EXPECT_EQ(exit.code, 9u);
  }
  EXPECT_TRUE(sim::Inspect(u"C:\\b").exists);
  EXPECT_EQ(sim::Calls().size(), 1u);
}

}  // namespace
