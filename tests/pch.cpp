// Compiled only for the precompiled header the test programs share; gtest_main gives the program its main().
