#include "UibPackage.h"

#include <cstdlib>
#include <memory>

#include "UibDecodeHooks.h"
#include "UibScan.h"
#include "UibSideFile.h"

namespace uib {
namespace {

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
  File in(std::fopen(source, "rb"));
  if (!in) return 0;

  ScanResult scan;
  if (!ReadHeader(in.get(), &scan)) return 0;

  SideFile side;
  if (!side.Create(target)) return 0;
  // Each decoded block is one 16 KiB run already; stdio's small buffer would
  // only copy part of it and split it into two writes, which costs the file
  // system noticeably more than one.
  std::setvbuf(side.file(), nullptr, _IONBF, 0);

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
