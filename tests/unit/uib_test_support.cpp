#include "uib_test_support.h"

#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include <zlib.h>

#include "UibWriter.h"

namespace uibtest {

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes U32(std::uint32_t value) {
    Bytes out;
    uib::PutU32(&out, value);
    return out;
}

Bytes Z(const std::string& content, int level) {
    Bytes out;
    uib::CompressPiece(content.data(), content.size(), level, &out);
    return out;
}

Bytes Frame(const Bytes& data) { return Cat({U32(static_cast<std::uint32_t>(data.size())), data}); }

Bytes PackageWithTotal(std::uint32_t total, std::uint32_t block_size, const std::vector<Bytes>& blocks) {
    Bytes out = Cat({Text("UMIB"), U32(total), U32(block_size)});
    for (const Bytes& block : blocks) out.insert(out.end(), block.begin(), block.end());
    return out;
}

Bytes Package(const std::vector<Bytes>& blocks, std::uint32_t block_size) {
    std::uint32_t total = 4;
    for (const Bytes& block : blocks) total += static_cast<std::uint32_t>(block.size());
    return PackageWithTotal(total, block_size, blocks);
}

std::string TextLike(std::size_t size) {
    static const char* const kWords[] = {"supervisor ", "upgrade ", "the ",     "package ", "block ",
                                         "of ",         "window ",  "restart ", "health ",  "check\n"};
    std::mt19937 random(7);
    std::string out;
    while (out.size() < size) out += kWords[random() % 10];
    out.resize(size);
    return out;
}

std::string Random(std::size_t size) {
    std::mt19937 random(11);
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

std::vector<DecodeCase> DecodeCases() {
    using uib::Fault;
    const Bytes hello = Z("hello, world");
    const Bytes abc = Z("abc");
    const std::uint64_t after_hello = 12 + 4 + hello.size();
    const std::string full(16384, 'q');

    Bytes bad_adler = hello;
    bad_adler.back() ^= 1;
    const Bytes stream_cut = Bytes(hello.begin(), hello.end() - 3);
    // FDICT set, dictionary id 1, an empty final block, Adler-32 of nothing.
    const Bytes needs_dictionary = {0x78, 0xBB, 0, 0, 0, 1, 0x03, 0x00, 0, 0, 0, 1};
    Bytes cut_block = Package({Frame(hello), Frame(abc)});
    cut_block.pop_back();

    std::vector<DecodeCase> cases = {
        {"12-byte empty package", Package({}), 1, "", Fault::kNone, 0},
        {"8-byte empty package keeps Block size 16384", Cat({Text("UMIB"), U32(4)}), 1, "", Fault::kNone, 0},
        {"one-byte Total keeps its high bytes zero", Cat({Text("UMIB"), Bytes{4}}), 1, "", Fault::kNone, 0},
        {"two blocks in order", Package({Frame(hello), Frame(abc)}), 1, "hello, worldabc", Fault::kNone, 0},
        {"empty file", {}, 0, "", Fault::kMagic, 0},
        {"file shorter than the magic", Text("UMI"), 0, "", Fault::kMagic, 3},
        {"magic in lower case", Cat({Text("umib"), U32(4), U32(16384)}), 0, "", Fault::kMagic, 0},
        {"Total below 4", PackageWithTotal(3, 16384, {}), 0, "", Fault::kTotalTooSmall, 4},
        {"Total 4 with one valid block", PackageWithTotal(4, 16384, {Frame(hello)}), 0, "", Fault::kTotalMismatch, 4},
        {"Total one above the blocks",
         PackageWithTotal(static_cast<std::uint32_t>(after_hello - 8 + 1), 16384, {Frame(hello)}), 0, "",
         Fault::kTotalMismatch, 4},
        {"Block size 0", Package({}, 0), 0, "", Fault::kBlockSizeRange, 8},
        {"Block size 5", Package({}, 5), 0, "", Fault::kBlockSizeRange, 8},
        {"Block size 6", Package({}, 6), 1, "", Fault::kNone, 0},
        {"Block size 32768", Package({Frame(hello)}, 32768), 1, "hello, world", Fault::kNone, 0},
        {"Block size 32769", Package({}, 32769), 0, "", Fault::kBlockSizeRange, 8},
        {"Length equal to Block size", Package({Frame(hello)}, static_cast<std::uint32_t>(hello.size())), 1,
         "hello, world", Fault::kNone, 0},
        {"Length one above Block size", Package({Frame(hello)}, static_cast<std::uint32_t>(hello.size() - 1)), 0, "",
         Fault::kLengthAboveBlockSize, 12},
        {"Length 0 between blocks", Package({Frame(hello), U32(0), Frame(abc)}), 0, "", Fault::kZeroLength,
         after_hello},
        {"Length 0 as the last field", Package({Frame(hello), U32(0)}), 0, "", Fault::kZeroLength, after_hello},
        {"block inflating to exactly 16384 bytes", Package({Frame(Z(full))}), 1, full, Fault::kNone, 0},
        {"block inflating to 16385 bytes", Package({Frame(Z(full + "q"))}), 0, "", Fault::kPieceTooLarge, 12},
        {"block inflating to nothing", Package({Frame(Z("")), Frame(abc)}), 1, "abc", Fault::kNone, 0},
        {"bytes after the stream's end inside its block", Package({Frame(Cat({abc, Text("junk")}))}), 1, "abc",
         Fault::kNone, 0},
        {"four trailing bytes read as a Length", Cat({Package({Frame(abc)}), Bytes(4, 0)}), 0, "", Fault::kZeroLength,
         12 + 4 + abc.size()},
        {"last block cut short", cut_block, 0, "", Fault::kBlockCutShort, after_hello},
        {"wrong Adler-32", Package({Frame(bad_adler)}), 0, "", Fault::kBadStream, 12},
        {"zlib stream cut short inside its block", Package({Frame(stream_cut)}), 0, "", Fault::kBadStream, 12},
        {"stream asking for a preset dictionary", Package({Frame(needs_dictionary)}), 0, "", Fault::kBadStream, 12},
    };
    for (std::uint64_t i = 0; i < 4; ++i) {
        Bytes package = Package({Frame(abc)});
        package[i] ^= 0x01;
        cases.push_back({"magic differing in byte " + std::to_string(i), package, 0, "", Fault::kMagic, i});
    }
    for (std::size_t extra = 1; extra <= 3; ++extra) {
        cases.push_back({std::to_string(extra) + " trailing bytes ignored",
                         Cat({Package({Frame(abc)}), Bytes(extra, 0xFF)}), 1, "abc", Fault::kNone, 0});
    }
    return cases;
}

TempDir::TempDir() {
    static int serial = 0;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device entropy;
    do {
        root_ = base / ("uibtest-" + std::to_string(entropy()) + "-" + std::to_string(++serial));
    } while (!std::filesystem::create_directory(root_));
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(root_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return Path(name);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const { return Write(name, Text(text)); }

std::set<std::string> TempDir::Names() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace uibtest
