// The main of every test program: it runs in a home of its own.
#include <gtest/gtest.h>

#include "tests/support/PrivateHome.h"

int main(int argc, char** argv) {
    qmtest::PrivateHome::enter();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
