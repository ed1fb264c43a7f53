// The program that compiles GoogleTest's and GoogleMock's headers once; every test program
// reuses its precompiled header.
#include <gtest/gtest.h>
