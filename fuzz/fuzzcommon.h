#pragma once

// What every fuzz target shares: the application object the library needs, quiet warnings, a
// check that aborts (a finding) with a message, a folder for files and a watch on hangs.

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvel::transferfunction {
class Model;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace kesu::fuzz {

// Creates the process's QCoreApplication once and drops warnings, which fuzzing provokes by the
// thousand.
void prepare();

[[noreturn]] void fail(const char *what, const char *file, int line);

// Reads an input byte by byte; past its end every byte reads as 0.
class Input
{
public:
    Input(const std::uint8_t *data, std::size_t size)
        : data(data)
        , size(size)
    { }
    bool empty() const { return at >= size; }
    std::uint8_t next() { return at < size ? data[at++] : 0; }
    // The next sizeof(T) bytes as the bits of a T: every float and double pattern comes out.
    template<typename T> T bits()
    {
        unsigned char raw[sizeof(T)] = {};
        for (unsigned char &c : raw)
            c = next();
        T value;
        std::memcpy(&value, raw, sizeof value);
        return value;
    }

private:
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at = 0;
};

// One folder for the whole run, in memory where the machine has /dev/shm, so that no input waits
// for the disk.
QString scratch_folder();
// Removes every file from the scratch folder.
void clear_scratch_folder();

// Marks the start of a call that must return: a call still running after 10 seconds is a hang,
// a finding. Null marks that nothing is running.
void watch(const char *call);

// The fields that save() writes, with the window bit for bit and the points in their order.
void check_same_fields(const korvel::transferfunction::Model &read,
                       const korvel::transferfunction::Model &reread);

} // namespace kesu::fuzz

#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? void() : kesu::fuzz::fail(#condition, __FILE__, __LINE__))
