// Entry of the settings tests: the same exe runs the tests or, started by them, the child process.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "settings_child.h"

// The child's work when this process was started as one; never the tests, so a child cannot start children.
static bool RunAsChild(int* exitCode)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool child = argv && RunSettingsChild(argc, argv, exitCode);
    LocalFree(argv);
    if (!child && GetEnvironmentVariableW(L"TARVEX_SETTINGS_CHILD", nullptr, 0) > 0) {
        *exitCode = 2;
        return true;
    }
    return child;
}

// Whichever entry the C runtime calls, the same happens.
int main(int argc, char** argv)
{
    int exitCode = 0;
    if (RunAsChild(&exitCode))
        return exitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

int wmain(int argc, wchar_t** argv)
{
    int exitCode = 0;
    if (RunAsChild(&exitCode))
        return exitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
