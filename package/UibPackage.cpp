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

struct Output {
  std::FILE* file;
  std::size_t (*write)(const void*, std::size_t, std::FILE*);
};

bool WriteBlock(void* context, const unsigned char* data, std::size_t size) {
  const Output& out = *static_cast<const Output*>(context);
  return out.write(data, size, out.file) == size;
}

int Decode(const char* source, const char* target, const DecodeHooks& hooks) {
  if (!source || !target) return 0;
  // Declared before the streams, so that they outlive them: a stream flushes
  // into its buffer until it is closed. Without memory for them the streams
  // keep the runtime's own buffering.
  std::unique_ptr<char[]> inBuffer(new (std::nothrow) char[kStreamBufferSize]);
  std::unique_ptr<char[]> outBuffer(new (std::nothrow) char[kStreamBufferSize]);
  File in(std::fopen(source, "rb"));
  if (!in) return 0;
  if (inBuffer) std::setvbuf(in.get(), inBuffer.get(), _IOFBF, kStreamBufferSize);

  ScanResult scan;
  if (!ReadHeader(in.get(), &scan)) return 0;

  SideFile side;
  if (!side.Create(target)) return 0;
  // Without our buffer, each decoded block (16 KiB) goes out unbuffered in
  // one write: stdio's default buffer is smaller than a block and would split
  // every block into two writes.
  if (outBuffer) {
    std::setvbuf(side.file(), outBuffer.get(), _IOFBF, kStreamBufferSize);
  } else {
    std::setvbuf(side.file(), nullptr, _IONBF, 0);
  }

  Buffer input(hooks, scan.header.block_size);
  Buffer output(hooks, kOutputBufferSize);
  if (!input.get() || !output.get()) return 0;

  Output out{side.file(), hooks.write};
  if (!ReadBlocks(in.get(), input.get(), output.get(), WriteBlock, &out, &scan)) return 0;
  // Some file systems (network shares, a full disk with delayed allocation)
  // report a failed write only when the file is closed.
  if (!side.Close(hooks.close)) return 0;
  return side.MoveOver(target) ? 1 : 0;
}

void* Allocate(std::size_t size) { return std::malloc(size); }
void Release(void* block) { std::free(block); }
std::size_t Write(const void* data, std::size_t size, std::FILE* file) {
  return std::fwrite(data, 1, size, file);
}
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

}  // namespace uib

int DecodeUibPackage(const char* source, const char* target) {
  return uib::DecodeUibPackageWith(source, target, uib::DefaultDecodeHooks());
}
