#include "UibPackage.h"

#include <cstdlib>
#include <memory>
#include <new>

#include "UibDecodeHooks.h"
#include "UibScan.h"
#include "UibSideFile.h"

namespace uib {
namespace {

// Each stream reads or writes through a buffer of this size: the package is
// read in one call for many blocks rather than one or two calls per block,
// and decoded blocks reach the file sixteen at a time. Every write call costs
// the file system a fixed amount on top of the bytes it carries; on a local
// disk the two buffers make decoding about a tenth faster. Their size does not
// depend on the package.
constexpr std::size_t kStreamBufferSize = 256 * 1024;

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

class Buffer {
public:
    Buffer(const DecodeHooks& hooks, std::size_t size)
        : hooks_(hooks), data_(static_cast<unsigned char*>(hooks.allocate(size))) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (data_) hooks_.release(data_);
    }
    unsigned char* get() const { return data_; }

private:
    const DecodeHooks& hooks_;
    unsigned char* data_;
};

constexpr std::uint64_t kRoomEvery = 4ull << 20;

// Decoded blocks gather in a buffer of kStreamBufferSize, each inflated
// straight into its place there, and go to the stream in one write when the
// next one might not fit: a block is copied once, by the file system, instead
// of also into the stream's own buffer (a sixteenth of the decode's time).
struct Output {
    std::FILE* file;
    std::size_t (*write)(const void*, std::size_t, std::FILE*);
    const OutputBound& bound;
    unsigned char* buffer;
    std::size_t filled = 0;
    std::uint64_t written = 0;
    std::uint64_t allowed = 0;  // what the last answer of bound.room covers

    bool Room() {
        if (!bound.room) return true;
        if (!bound.room(bound.context, kRoomEvery)) return false;
        allowed = written + kRoomEvery;
        return true;
    }
    bool Flush() {
        const std::size_t size = filled;
        filled = 0;
        return size == 0 || write(buffer, size, file) == size;
    }
};

unsigned char* PlaceBlock(void* context) {
    Output& out = *static_cast<Output*>(context);
    if (kStreamBufferSize - out.filled < kMaxPiece && !out.Flush()) return nullptr;
    return out.buffer + out.filled;
}

// Takes the block PlaceBlock placed.
bool WriteBlock(void* context, const unsigned char*, std::size_t size) {
    Output& out = *static_cast<Output*>(context);
    if (size > out.bound.limit - out.written) return false;
    if (out.bound.room && out.written + size > out.allowed && !out.Room()) return false;
    out.written += size;
    out.filled += size;
    return true;
}

const OutputBound kUnbounded;

// Decodes the blocks after an accepted header into |out|.
bool DecodeBlocks(std::FILE* in, ScanResult* scan, std::FILE* out, const DecodeHooks& hooks,
                  const OutputBound& bound = kUnbounded) {
    Buffer input(hooks, scan->header.block_size);
    Buffer output(hooks, kStreamBufferSize);
    if (!input.get() || !output.get()) return false;
    Output sink{out, hooks.write, bound, output.get()};
    if (!sink.Room()) return false;
    return ReadBlocks(in, input.get(), nullptr, WriteBlock, &sink, scan, PlaceBlock) && sink.Flush();
}

// Our own buffer gathers the decoded blocks; the stream needs none on top
// and writes each gathered run as it comes.
void UnbufferOutput(std::FILE* out) { std::setvbuf(out, nullptr, _IONBF, 0); }

// Opens the source and reads its header; null when it cannot be decoded at all.
File OpenPackage(const char* source, char* buffer, ScanResult* scan) {
    File in(std::fopen(source, "rb"));
    if (!in) return nullptr;
    if (buffer) std::setvbuf(in.get(), buffer, _IOFBF, kStreamBufferSize);
    if (!ReadHeader(in.get(), scan)) return nullptr;
    return in;
}

// The package stream's buffer for one decode. Declared before the stream,
// so that it outlives it. Without memory for it the stream keeps the
// runtime's own buffering.
struct StreamBuffers {
    std::unique_ptr<char[]> in{new (std::nothrow) char[kStreamBufferSize]};
};

int Decode(const char* source, const char* target, const DecodeHooks& hooks) {
    if (!source || !target) return 0;
    StreamBuffers buffers;
    ScanResult scan;
    File in = OpenPackage(source, buffers.in.get(), &scan);
    if (!in) return 0;

    SideFile side;
    if (!side.Create(target)) return 0;
    UnbufferOutput(side.file());
    if (!DecodeBlocks(in.get(), &scan, side.file(), hooks)) return 0;
    // Some file systems (network shares, a full disk with delayed allocation)
    // report a failed write only when the file is closed.
    if (!side.Close(hooks.close)) return 0;
    return side.MoveOver(target) ? 1 : 0;
}

int DecodeStream(std::FILE* in, std::FILE* out, const OutputBound& bound) {
    if (!in || !out) return 0;
    ScanResult scan;
    const bool decoded = ReadHeader(in, &scan) && DecodeBlocks(in, &scan, out, DefaultDecodeHooks(), bound);
    return decoded && std::fflush(out) == 0 ? 1 : 0;
}

void* Allocate(std::size_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }
std::size_t Write(const void* data, std::size_t size, std::FILE* file) { return std::fwrite(data, 1, size, file); }
int Close(std::FILE* file) { return std::fclose(file); }

}  // namespace

const DecodeHooks& DefaultDecodeHooks() {
    static const DecodeHooks hooks{Allocate, Release, Write, Close};
    return hooks;
}

int DecodeUibPackageWith(const char* source, const char* target, const DecodeHooks& hooks) {
    // The caller is plain C-style code on the upgrade thread: nothing may
    // escape, and the side file's name is the only thing that can throw.
    try {
        return Decode(source, target, hooks);
    } catch (...) {
        return 0;
    }
}

int DecodeUibStream(std::FILE* in, std::FILE* out, const OutputBound& bound) {
    try {
        return DecodeStream(in, out, bound);
    } catch (...) {
        return 0;
    }
}

}  // namespace uib

int DecodeUibPackage(const char* source, const char* target) {
    return uib::DecodeUibPackageWith(source, target, uib::DefaultDecodeHooks());
}
