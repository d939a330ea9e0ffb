// A minimal check harness for the C++ core tests: CHECK records a failure and goes on.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check {

inline int& failures() {
  static int n = 0;
  return n;
}

struct Case {
  const char* name;
  std::function<void()> fn;
};

inline std::vector<Case>& cases() {
  static std::vector<Case> c;
  return c;
}

struct Register {
  Register(const char* name, std::function<void()> fn) { cases().push_back({name, fn}); }
};

inline int run_all() {
  for (auto& c : cases()) {
    int before = failures();
    c.fn();
    std::printf("%s %s\n", failures() == before ? "ok  " : "FAIL", c.name);
  }
  std::printf("%zu cases, %d failed checks\n", cases().size(), failures());
  return failures() ? 1 : 0;
}

}  // namespace check

#define CHECK(cond)                                                          \
  do {                                                                       \
    if (!(cond)) {                                                           \
      ++check::failures();                                                   \
      std::printf("  %s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
    }                                                                        \
  } while (0)

#define CHECK_EQ(a, b)                                                               \
  do {                                                                               \
    auto va_ = (a);                                                                  \
    auto vb_ = (b);                                                                  \
    if (!(va_ == vb_)) {                                                             \
      ++check::failures();                                                           \
      std::printf("  %s:%d: CHECK_EQ(%s, %s) failed\n", __FILE__, __LINE__, #a, #b); \
    }                                                                                \
  } while (0)

#define TEST_CASE(name)                                \
  static void name();                                  \
  static check::Register register_##name(#name, name); \
  static void name()
