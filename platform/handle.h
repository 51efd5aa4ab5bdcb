// Owners of the handles the product opens: each closes its handle when it
// goes out of scope, on every way out of the function that opened it. A
// function never closes a handle its caller owns.
#pragma once

#include "platform/platform.h"

// A kernel handle from CreateFileW, OpenProcessToken and the like; closed
// with CloseHandle. INVALID_HANDLE_VALUE and NULL both mean none.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() {
    if (valid()) {
      CloseHandle(handle_);
    }
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != NULL; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A search handle from FindFirstFileW, which only FindClose takes.
class OwnedFind {
 public:
  explicit OwnedFind(HANDLE find) : find_(find) {}
  ~OwnedFind() {
    if (valid()) {
      FindClose(find_);
    }
  }
  OwnedFind(const OwnedFind&) = delete;
  OwnedFind& operator=(const OwnedFind&) = delete;

  bool valid() const { return find_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return find_; }

 private:
  HANDLE find_;
};
