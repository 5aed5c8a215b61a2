// The Windows cross build whose program and DLLs the tests run under Wine. A tree
// configured without one (the sanitizer tree) does not register those cases at all,
// so none of them can pass by skipping.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace e2e {

// The Windows build folder (MORVIN_WIN_BUILD); empty in a tree without one.
inline std::string windows_build()
{
    return MORVIN_WIN_BUILD;
}

}  // namespace e2e

// A test that runs the Windows build: a TEST where the tree has one, otherwise a
// function that still compiles but is never registered.
#if MORVIN_WINE_TESTS
#define WINE_TEST(suite, name) TEST(suite, name)
#define WINE_TEST_F(fixture, name) TEST_F(fixture, name)
#else
#define WINE_TEST(suite, name) [[maybe_unused]] static void suite##_##name##_without_windows_build()
#define WINE_TEST_F(fixture, name)                                           \
    class fixture##_##name##_without_windows_build : public fixture {      \
        [[maybe_unused]] void body();                                        \
    };                                                                       \
    void fixture##_##name##_without_windows_build::body()
#endif
