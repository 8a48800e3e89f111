// A stand-in for a user's program in end-to-end tests: it only waits (the milliseconds given, or a
// minute), so a test can start it under any file name that a rule should match.

#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    ::Sleep(argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 60000);
    return 0;
}
