// SDL opened at run time: every function found, a missing or foreign file
// refused with its reason, and hints given before it opens kept for it.
#include <gtest/gtest.h>

#include <string>

#include "platform/sdl/SdlLibrary.h"

using platform::sdl::SdlLibrary;

TEST(SdlLibrary, HintsGivenBeforeItOpensAreSetWhenItOpens) {
    const bool openBefore = SdlLibrary::loaded() != nullptr;
    SdlLibrary::setHint("QM_TEST_HINT", "first");
    SdlLibrary::setHint("QM_TEST_HINT", "second");  // the last word counts
    SdlLibrary::setHint("QM_TEST_OTHER_HINT", "other");
    if (!openBefore) {
        EXPECT_EQ(SdlLibrary::loaded(), nullptr) << "a hint alone opened the library";
    }

    const SdlLibrary* lib = SdlLibrary::shared();
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(SdlLibrary::loaded(), lib);
    EXPECT_EQ(SdlLibrary::shared(), lib);
    ASSERT_NE(lib->GetHint("QM_TEST_HINT"), nullptr);
    EXPECT_STREQ(lib->GetHint("QM_TEST_HINT"), "second");
    EXPECT_STREQ(lib->GetHint("QM_TEST_OTHER_HINT"), "other");

    // Once open, a hint is set at once.
    SdlLibrary::setHint("QM_TEST_HINT", "third");
    EXPECT_STREQ(lib->GetHint("QM_TEST_HINT"), "third");
}

TEST(SdlLibrary, OpensWithEveryFunctionResolved) {
    std::string error;
    auto lib = SdlLibrary::open(SdlLibrary::kFileName, &error);
    ASSERT_TRUE(lib) << error;
#define QM_EXPECT_RESOLVED(name) EXPECT_NE(lib->name, nullptr) << #name;
    QM_SDL_FUNCTIONS(QM_EXPECT_RESOLVED)
#undef QM_EXPECT_RESOLVED
    // The same library as the process's: one SDL state, whoever opened it.
    lib->SetHint("QM_TEST_SHARED_STATE", "yes");
    EXPECT_STREQ(SdlLibrary::shared()->GetHint("QM_TEST_SHARED_STATE"), "yes");
}

TEST(SdlLibrary, RefusesAMissingFileOrOneWithoutSdlsFunctions) {
    std::string error;
    EXPECT_FALSE(SdlLibrary::open("libqm-no-such-library.so.0", &error));
    EXPECT_NE(error.find("libqm-no-such-library.so.0"), std::string::npos) << error;

    error.clear();
    EXPECT_FALSE(SdlLibrary::open("libm.so.6", &error));
    EXPECT_EQ(error, "libm.so.6 has no SDL_GetError");
}
