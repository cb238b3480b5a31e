#pragma once
#include <gtest/gtest.h>

#include "support/Sandbox.h"
#include "tools/harness/RouterRoot.h"

// Skips the current test when the static installer that runInside needs was not
// built. For use in a test body.
#define SKIP_WITHOUT_STATIC_INSTALLER()                            \
    do {                                                           \
        std::string whyNoStaticInstaller;                          \
        if (!e2e::staticInstallerAvailable(&whyNoStaticInstaller)) \
            GTEST_SKIP() << whyNoStaticInstaller;                  \
    } while (0)
