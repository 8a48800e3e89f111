// Prints how long the download read loop takes to collect large bodies from 4096-byte reads, next to
// a loop that grows its buffer by one chunk per read.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "setup/Updater.h"

namespace
{

BodyReader ChunkSource(size_t total, size_t& given)
{
    given = 0;
    return [total, &given](unsigned char* into, DWORD size, DWORD& read) {
        read = static_cast<DWORD>(std::min<size_t>(size, total - given));
        std::memset(into, static_cast<int>(given & 0xFF), read);
        given += read;
        return true;
    };
}

// The same loop with a fresh buffer of total + 4096 bytes after every read.
bool ReadGrowingByChunk(const BodyReader& read, std::vector<unsigned char>& bytes)
{
    std::vector<unsigned char> buffer(4096);
    size_t total = 0;
    for (;;)
    {
        DWORD got = 0;
        if (!read(buffer.data() + total, 4096, got))
            return false;
        if (got == 0)
            break;
        total += got;
        std::vector<unsigned char> bigger(total + 4096);
        std::memcpy(bigger.data(), buffer.data(), total);
        buffer.swap(bigger);
    }
    buffer.resize(total);
    bytes.swap(buffer);
    return true;
}

template <typename Loop> double Milliseconds(Loop loop)
{
    const auto start = std::chrono::steady_clock::now();
    loop();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main()
{
    std::printf("%-12s %14s %22s\n", "body", "doubling (ms)", "grow by chunk (ms)");
    for (size_t mebibytes : {1, 4, 16, 64, 256})
    {
        const size_t total = mebibytes << 20;
        size_t given = 0;
        std::vector<unsigned char> bytes;
        const double doubling =
            Milliseconds([&] { ReadWholeBody(ChunkSource(total, given), bytes, MaxInstallerBytes); });
        const bool whole = bytes.size() == total;
        bytes = {};
        char growing[32] = "(skipped)";
        if (mebibytes <= 4) // quadratic: 16 MiB already takes over a minute
            std::snprintf(growing, sizeof(growing), "%.1f",
                          Milliseconds([&] { ReadGrowingByChunk(ChunkSource(total, given), bytes); }));
        std::printf("%4zu MiB     %14.1f %22s%s\n", mebibytes, doubling, growing, whole ? "" : "  (incomplete!)");
    }
    return 0;
}
