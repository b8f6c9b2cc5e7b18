// libcurl opened at run time: every function found, and a missing or foreign
// file refused with its reason.
#include <gtest/gtest.h>

#include <string>

#include "platform/net/CurlLibrary.h"

using platform::net::CurlLibrary;

TEST(CurlLibrary, OpensWithEveryFunctionResolvedOnceForTheProcess) {
    std::string error;
    auto lib = CurlLibrary::open(CurlLibrary::kFileName, &error);
    ASSERT_TRUE(lib) << error;
#define QM_EXPECT_RESOLVED(name) EXPECT_NE(lib->name, nullptr) << #name;
    QM_CURL_FUNCTIONS(QM_EXPECT_RESOLVED)
#undef QM_EXPECT_RESOLVED

    const CurlLibrary* shared = CurlLibrary::shared();
    ASSERT_NE(shared, nullptr) << CurlLibrary::loadError();
    EXPECT_EQ(CurlLibrary::shared(), shared);
    EXPECT_EQ(CurlLibrary::loadError(), "");
    // Initialised: a transfer handle can be made and set up through it.
    CURL* easy = shared->easy_init();
    ASSERT_NE(easy, nullptr);
    EXPECT_EQ(shared->easy_setopt(easy, CURLOPT_URL, "http://127.0.0.1:1/"), CURLE_OK);
    EXPECT_STREQ(shared->easy_strerror(CURLE_COULDNT_CONNECT), lib->easy_strerror(CURLE_COULDNT_CONNECT));
    shared->easy_cleanup(easy);
}

TEST(CurlLibrary, RefusesAMissingFileOrOneWithoutCurlsFunctions) {
    std::string error;
    EXPECT_FALSE(CurlLibrary::open("libqm-no-such-library.so.4", &error));
    EXPECT_NE(error.find("libqm-no-such-library.so.4"), std::string::npos) << error;

    error.clear();
    EXPECT_FALSE(CurlLibrary::open("libm.so.6", &error));
    EXPECT_EQ(error, "libm.so.6 has no curl_global_init");
}
