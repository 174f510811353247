// The uibpack command line, run as a separate process.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "uib_test_support.h"

using namespace uibtest;

namespace {

struct Outcome {
    int status;
    std::string output;  // standard output and error together
};

Outcome Uibpack(const std::vector<std::string>& args) {
    std::string command = UIBPACK_PATH;
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " 2>&1";
    Outcome outcome{-1, ""};
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return outcome;
    char chunk[512];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) outcome.output.append(chunk, got);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

TEST(Uibpack, PackThenUnpackGivesTheInputBack) {
    const std::string contents[] = {
        "", "x", TextLike(16383), TextLike(16384), TextLike(16385), TextLike(3 << 20), Random(3 << 20)};
    for (const std::string& content : contents) {
        for (const char* level : {"0", "9"}) {
            SCOPED_TRACE("size " + std::to_string(content.size()) + ", level " + level);
            TempDir dir;
            const std::string input = dir.Write("input", content);
            const std::string package = dir.Path("p.uib");
            const std::string output = dir.Path("output");
            EXPECT_EQ(Uibpack({"pack", "--level", level, input, package}).status, 0);
            const Outcome checked = Uibpack({"check", package});
            EXPECT_EQ(checked.status, 0) << checked.output;
            EXPECT_NE(checked.output.find(std::to_string(content.size()) + " bytes decoded"), std::string::npos)
                << checked.output;
            EXPECT_EQ(Uibpack({"unpack", package, output}).status, 0);
            EXPECT_TRUE(ReadAll(output) == content);
        }
    }
}

TEST(Uibpack, CheckAgreesWithUnpackAndNamesTheBrokenRule) {
    for (const DecodeCase& c : DecodeCases()) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string package = dir.Write("p.uib", c.package);
        const Outcome checked = Uibpack({"check", package});
        const Outcome unpacked = Uibpack({"unpack", package, dir.Path("out")});
        const int expected = c.result == 1 ? 0 : 1;
        EXPECT_EQ(checked.status, expected) << checked.output;
        EXPECT_EQ(unpacked.status, expected) << unpacked.output;
        EXPECT_EQ(Exists(dir.Path("out")), c.result == 1);
        if (c.result == 0) {
            const std::string where =
                std::string(uib::FaultText(c.fault)) + " at byte offset " + std::to_string(c.offset);
            EXPECT_NE(checked.output.find(where), std::string::npos) << checked.output;
            EXPECT_NE(unpacked.output.find(where), std::string::npos) << unpacked.output;
        }
    }
}

TEST(Uibpack, RefusesBadCommandLinesAndMissingFilesWithoutLeavingFiles) {
    TempDir dir;
    const std::string input = dir.Write("input", Random(40000));
    const std::string good = dir.Write("good.uib", Package({Frame(Z("abc"))}));
    const std::string out = dir.Path("out.uib");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{}, 2, "no command"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"pack", input}, 2, "needs INPUT and OUTPUT"},
        {{"pack", "--level", "10", input, out}, 2, "--level"},
        {{"pack", "--level"}, 2, "needs a value"},
        {{"pack", "--block-size", "5", input, out}, 2, "6 to 32768"},
        {{"pack", "--block-size=32769", input, out}, 2, "6 to 32768"},
        {{"pack", "--block-size", "100", input, out}, 2, "too small"},
        {{"pack", "--fast", input, out}, 2, "unknown option"},
        {{"unpack", good}, 2, "needs PACKAGE.uib and OUTPUT"},
        {{"check"}, 2, "needs PACKAGE.uib"},
        {{"pack", dir.Path("missing"), out}, 1, "cannot open " + dir.Path("missing")},
        {{"unpack", dir.Path("missing.uib"), out}, 1, "cannot be opened"},
        {{"check", dir.Path("missing.uib")}, 1, "cannot be opened"},
        {{"unpack", good, dir.Path("no/out")}, 1, "cannot write"},
        {{"--help"}, 0, "uibpack pack [--level N] [--block-size N] INPUT OUTPUT.uib"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = Uibpack(c.args);
        SCOPED_TRACE(outcome.output);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_NE(outcome.output.find(c.says), std::string::npos);
        EXPECT_EQ(dir.Names(), (std::set<std::string>{"input", "good.uib"}));
    }
}

// A release signed with sign passes verify; each way of tampering with it,
// or of checking it with the wrong key, fails it.
TEST(Uibpack, VerifyAcceptsWhatSignWroteAndRefusesEveryTamperedForm) {
    TempDir keys;
    for (const char* name : {"publisher", "stranger"}) {
        const std::string key = keys.Path(name);
        ASSERT_EQ(std::system(("openssl ecparam -name prime256v1 -genkey -noout -out '" + key + ".pem' && " +
                               "openssl ec -in '" + key + ".pem' -pubout -out '" + key + ".pub.pem' 2>/dev/null")
                                  .c_str()),
                  0);
    }
    const std::string publisher = keys.Path("publisher.pem"), publisherPublic = keys.Path("publisher.pub.pem");
    const struct {
        const char* what;
        std::function<void(TempDir&)> tamper;
        const char* verifyKey;
        int status;
        std::string says;
    } cases[] = {
        {"as signed", [](TempDir&) {}, "publisher.pub.pem", 0, "OK"},
        {"checked with another key", [](TempDir&) {}, "stranger.pub.pem", 1, "signature does not match"},
        {"a byte of the manifest changed",
         [](TempDir& d) {
             std::string text = ReadAll(d.Path("Quillstone.manifest"));
             text[text.size() - 2] ^= 1;
             d.Write("Quillstone.manifest", text);
         },
         "publisher.pub.pem", 1, "signature does not match"},
        {"a file swapped", [](TempDir& d) { d.Write("Marlowcast.exe", std::string(4000, 'X')); }, "publisher.pub.pem",
         1, "Marlowcast.exe differs"},
        {"a file longer", [](TempDir& d) { d.Write("lang.dat.uib", ReadAll(d.Path("lang.dat.uib")) + "!"); },
         "publisher.pub.pem", 1, "lang.dat.uib differs"},
        {"a listed file missing", [](TempDir& d) { std::remove(d.Path("lang.dat.uib").c_str()); }, "publisher.pub.pem",
         1, "lang.dat.uib is listed but missing"},
        {"no signature", [](TempDir& d) { std::remove(d.Path("Quillstone.manifest.sig").c_str()); },
         "publisher.pub.pem", 1, "Quillstone.manifest.sig is missing"},
        {"a manifest past 64 KiB",
         [](TempDir& d) {
             d.Write("Quillstone.manifest", ReadAll(d.Path("Quillstone.manifest")) + std::string(65536, 'x'));
         },
         "publisher.pub.pem", 1, "longer than 64 KiB"},
        {"a private key to check with", [](TempDir&) {}, "publisher.pem", 1, "not an ECDSA P-256 public key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir release;
        const std::string exe = release.Write("Marlowcast.exe", Random(4000));
        const std::string lang = release.Write("lang.dat.uib", Package({Frame(Z("hallo"))}));
        const Outcome signedIt =
            Uibpack({"sign", "--key", publisher, "--release", "7", "--out", release.Path(""), exe, lang});
        ASSERT_EQ(signedIt.status, 0) << signedIt.output;
        EXPECT_NE(ReadAll(release.Path("Quillstone.manifest")).find("Release: 7\n"), std::string::npos);
        c.tamper(release);
        const Outcome verified = Uibpack({"verify", "--key", keys.Path(c.verifyKey), release.Path("")});
        EXPECT_EQ(verified.status, c.status);
        EXPECT_NE(verified.output.find(c.says), std::string::npos) << verified.output;
    }

    // Signing refuses a key that cannot sign and a file that is not there,
    // and then writes nothing.
    TempDir out;
    const std::string file = out.Write("a.txt", "a");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"sign", "--key", publisherPublic, "--release", "1", "--out", out.Path(""), file},
          std::vector<std::string>{"sign", "--key", publisher, "--release", "1", "--out", out.Path(""),
                                   out.Path("no")}}) {
        EXPECT_EQ(Uibpack(args).status, 1);
        EXPECT_EQ(out.Names(), (std::set<std::string>{"a.txt"}));
    }
}

}  // namespace
