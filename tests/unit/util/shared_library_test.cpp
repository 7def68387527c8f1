#include "util/shared_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

namespace qvx::util {
namespace {

// Pointers named like two of libc's functions, bound as the users of the
// helper bind theirs: the calls below go through them.
#define TEST_LIBC_FUNCTIONS(X) X(getpid) X(strlen)
TEST_LIBC_FUNCTIONS(QVX_DECLARE_LOADED)
LoadedLibrary g_libc("libc.so.6", {TEST_LIBC_FUNCTIONS(QVX_BIND_LOADED)});

double (*g_missing)(double) = nullptr;
int (*g_present)(int) = nullptr;

TEST(LoadedLibrary, ResolvesEveryFunctionOnceAndCallsReadAsBefore) {
    std::string error;
    ASSERT_TRUE(g_libc.load(error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(getpid(), ::getpid());
    EXPECT_EQ(strlen("seven ch"), 8u);
    // Asked again (as every later image or saved file does), the answer
    // stays and nothing is resolved anew.
    const auto first = strlen;
    EXPECT_TRUE(g_libc.load(error));
    EXPECT_EQ(strlen, first);
}

TEST(LoadedLibrary, AMissingLibraryOrFunctionIsAMessageAndLeavesNoPointer) {
    LoadedLibrary absent("libqvx-no-such-library.so.9", {});
    std::string error;
    EXPECT_FALSE(absent.load(error));
    EXPECT_NE(error.find("cannot load libqvx-no-such-library.so.9"), std::string::npos) << error;
    // The answer is kept: a second ask fails the same way.
    std::string again;
    EXPECT_FALSE(absent.load(again));
    EXPECT_EQ(again, error);

    LoadedLibrary partial("libc.so.6",
                          {LoadedLibrary::Binding{[](void* s) { g_present = reinterpret_cast<int (*)(int)>(s); }, "abs"},
                           LoadedLibrary::Binding{[](void* s) { g_missing = reinterpret_cast<double (*)(double)>(s); },
                                                  "qvx_no_such_function"}});
    error.clear();
    EXPECT_FALSE(partial.load(error));
    EXPECT_NE(error.find("it has no qvx_no_such_function"), std::string::npos) << error;
    // Nothing half-bound is left to call.
    EXPECT_EQ(g_present, nullptr);
    EXPECT_EQ(g_missing, nullptr);
}

}  // namespace
}  // namespace qvx::util
