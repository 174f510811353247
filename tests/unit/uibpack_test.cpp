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

// A release whose keys document keys wrote and whose manifest sign wrote
// passes verify; each way of tampering with it, signing it with a key the
// keys document does not list, letting either expire, or checking it with
// another root, fails it, as Quillstone refuses it, naming what is wrong.
TEST(Uibpack, VerifyAcceptsWhatKeysAndSignWroteAndRefusesEveryTamperedForm) {
    TempDir keys;
    for (const char* name : {"root", "release", "second", "stranger"}) {
        const std::string key = keys.Path(name);
        ASSERT_EQ(std::system(("openssl ecparam -name prime256v1 -genkey -noout -out '" + key + ".pem' && " +
                               "openssl ec -in '" + key + ".pem' -pubout -out '" + key + ".pub.pem' 2>/dev/null")
                                  .c_str()),
                  0);
    }
    const std::string past = "2020-01-01T00:00:00Z";
    const struct {
        const char* what;
        std::vector<std::string> keysOptions, signOptions;
        std::function<void(TempDir&)> tamper;
        const char* verifyRoot;
        int status;
        std::string says;
    } cases[] = {
        {"as signed", {}, {}, [](TempDir&) {}, "root.pub.pem", 0, "OK, keys version 1 (1 release keys"},
        {"checked with another root key",
         {},
         {},
         [](TempDir&) {},
         "stranger.pub.pem",
         1,
         "refused: bad signature, the keys document is not signed with the root key"},
        {"a manifest signed with a release key the keys document does not list",
         {},
         {},
         [&](TempDir& d) {
             // Signed where a keys document lists that key, then served here.
             TempDir elsewhere;
             const std::string file = elsewhere.Write("a.txt", "a");
             ASSERT_EQ(Uibpack({"keys", "--root", keys.Path("root.pem"), "--version", "1", "--out", elsewhere.Path(""),
                                keys.Path("stranger.pub.pem")})
                           .status,
                       0);
             ASSERT_EQ(Uibpack({"sign", "--key", keys.Path("stranger.pem"), "--release", "7", "--out",
                                elsewhere.Path(""), file})
                           .status,
                       0);
             for (const char* name : {"Quillstone.manifest", "Quillstone.manifest.sig"}) {
                 d.Write(name, ReadAll(elsewhere.Path(name)));
             }
         },
         "root.pub.pem",
         1,
         "refused: bad signature, the manifest is not signed with a release key of keys version 1"},
        {"an old manifest beside a newer keys document that kept its release key",
         {},
         {},
         [&](TempDir& d) {
             ASSERT_EQ(Uibpack({"keys", "--root", keys.Path("root.pem"), "--version", "2", "--out", d.Path(""),
                                keys.Path("release.pub.pem")})
                           .status,
                       0);
         },
         "root.pub.pem",
         1,
         "refused: the manifest (release 7) is signed for keys version 1, not for the 2 served"},
        {"an expired keys document",
         {"--expires", past},
         {},
         [](TempDir&) {},
         "root.pub.pem",
         1,
         "refused: the keys document (version 1) expired on 2020-01-01T00:00:00Z"},
        {"an expired manifest",
         {},
         {"--expires", past},
         [](TempDir&) {},
         "root.pub.pem",
         1,
         "refused: the manifest (release 7) expired on 2020-01-01T00:00:00Z"},
        {"a byte of the manifest changed",
         {},
         {},
         [](TempDir& d) {
             std::string text = ReadAll(d.Path("Quillstone.manifest"));
             text[text.size() - 2] ^= 1;
             d.Write("Quillstone.manifest", text);
         },
         "root.pub.pem",
         1,
         "refused: bad signature, the manifest is not signed"},
        {"a file swapped",
         {},
         {},
         [](TempDir& d) { d.Write("Marlowcast.exe", std::string(4000, 'X')); },
         "root.pub.pem",
         1,
         "Marlowcast.exe differs"},
        {"a file longer",
         {},
         {},
         [](TempDir& d) { d.Write("lang.dat.uib", ReadAll(d.Path("lang.dat.uib")) + "!"); },
         "root.pub.pem",
         1,
         "lang.dat.uib differs"},
        {"a listed file missing",
         {},
         {},
         [](TempDir& d) { std::remove(d.Path("lang.dat.uib").c_str()); },
         "root.pub.pem",
         1,
         "lang\\lang.dat.uib is listed but lang.dat.uib is missing"},
        {"a block map changed",
         {},
         {},
         [](TempDir& d) { d.Write("Marlowcast.exe.blockmap", ReadAll(d.Path("Marlowcast.exe.blockmap")) + "!"); },
         "root.pub.pem",
         1,
         "Marlowcast.exe.blockmap is missing or differs from the manifest"},
        {"a block map missing",
         {},
         {},
         [](TempDir& d) { std::remove(d.Path("lang.dat.uib.blockmap").c_str()); },
         "root.pub.pem",
         1,
         "lang.dat.uib.blockmap is missing or differs from the manifest"},
        {"no signature",
         {},
         {},
         [](TempDir& d) { std::remove(d.Path("Quillstone.manifest.sig").c_str()); },
         "root.pub.pem",
         1,
         "Quillstone.manifest.sig is missing"},
        {"a manifest past 64 KiB",
         {},
         {},
         [](TempDir& d) {
             d.Write("Quillstone.manifest", ReadAll(d.Path("Quillstone.manifest")) + std::string(65536, 'x'));
         },
         "root.pub.pem",
         1,
         "longer than 65536 bytes"},
        {"a private key to check with", {}, {}, [](TempDir&) {}, "root.pem", 1, "not an ECDSA P-256 public key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir release;
        const std::string exe = release.Write("Marlowcast.exe", Random(4000));
        const std::string lang = release.Write("lang.dat.uib", Package({Frame(Z("hallo"))}));
        std::vector<std::string> keysArgs = {"keys", "--root", keys.Path("root.pem"), "--version",
                                             "1",    "--out",  release.Path(""),      keys.Path("release.pub.pem")};
        std::vector<std::string> signArgs = {"sign",           "--key", keys.Path("release.pem"),
                                             "--release",      "7",     "--out",
                                             release.Path(""), exe,     "lang\\lang.dat.uib=" + lang};
        // Options after the others, which they override.
        keysArgs.insert(keysArgs.begin() + 7, c.keysOptions.begin(), c.keysOptions.end());
        signArgs.insert(signArgs.begin() + 7, c.signOptions.begin(), c.signOptions.end());
        for (const auto& args : {keysArgs, signArgs}) {
            const Outcome made = Uibpack(args);
            ASSERT_EQ(made.status, 0) << made.output;
        }
        // "hallo" decoded: its size and SHA-256 signed beside the package's own.
        EXPECT_NE(ReadAll(release.Path("Quillstone.manifest"))
                      .find(" 5 d3751d33f9cd5049c4af2b462735457e4d3baf130bcbb87f389e349fbaeb20b9 "),
                  std::string::npos);
        c.tamper(release);
        const Outcome verified = Uibpack({"verify", "--root", keys.Path(c.verifyRoot), release.Path("")});
        EXPECT_EQ(verified.status, c.status);
        EXPECT_NE(verified.output.find(c.says), std::string::npos) << verified.output;
    }

    // A threshold of two: sign needs two distinct listed keys, and verify
    // counts distinct valid signatures.
    {
        TempDir two;
        const std::string exe = two.Write("Marlowcast.exe", Random(100));
        const std::vector<std::string> keysArgs = {"keys",
                                                   "--root",
                                                   keys.Path("root.pem"),
                                                   "--version",
                                                   "1",
                                                   "--out",
                                                   two.Path(""),
                                                   keys.Path("release.pub.pem"),
                                                   keys.Path("second.pub.pem")};
        std::vector<std::string> tooHigh = keysArgs;
        tooHigh.insert(tooHigh.begin() + 1, {"--threshold", "3"});
        EXPECT_NE(Uibpack(tooHigh).output.find("--threshold must be 1 to the 2 release keys given"), std::string::npos);
        std::vector<std::string> withTwo = keysArgs;
        withTwo.insert(withTwo.begin() + 1, {"--threshold", "2"});
        ASSERT_EQ(Uibpack(withTwo).status, 0);
        const auto sign = [&](std::vector<std::string> keyArgs) {
            std::vector<std::string> args = {"sign", "--release", "3", "--out", two.Path(""), exe};
            args.insert(args.begin() + 1, keyArgs.begin(), keyArgs.end());
            return Uibpack(args);
        };
        const std::string one = keys.Path("release.pem"), other = keys.Path("second.pem");
        EXPECT_NE(sign({"--key", one}).output.find("asks for 2 release keys' signatures, 1 given"), std::string::npos);
        EXPECT_NE(sign({"--key", one, "--key", one}).output.find("is given twice"), std::string::npos);
        ASSERT_EQ(sign({"--key", one, "--key", other}).status, 0);
        const auto verify = [&] { return Uibpack({"verify", "--root", keys.Path("root.pub.pem"), two.Path("")}); };
        EXPECT_EQ(verify().status, 0) << verify().output;
        const std::string signatures = ReadAll(two.Path("Quillstone.manifest.sig"));
        ASSERT_EQ(signatures.size(), 128u);
        for (const std::string& served :
             {signatures.substr(0, 64), signatures.substr(0, 64) + signatures.substr(0, 64)}) {
            two.Write("Quillstone.manifest.sig", served);
            const Outcome outcome = verify();
            EXPECT_EQ(outcome.status, 1);
            EXPECT_NE(outcome.output.find("signed by fewer than the 2 release keys keys version 1 asks for"),
                      std::string::npos)
                << outcome.output;
        }
    }

    // Signing refuses a key that cannot sign, a folder without a keys
    // document, a key its keys document does not list, a file that is not
    // there, an entry no list can name and a package that does not decode,
    // and then writes nothing.
    TempDir out, bare;
    const std::string file = out.Write("a.txt", "a"), other = out.Write("b.txt", "b");
    ASSERT_EQ(Uibpack({"keys", "--root", keys.Path("root.pem"), "--version", "1", "--out", out.Path(""),
                       keys.Path("release.pub.pem")})
                  .status,
              0);
    const std::set<std::string> written = out.Names();
    for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--key", keys.Path("release.pub.pem"), file}, "not an ECDSA P-256 private key"},
             {{"--key", keys.Path("release.pem"), "--out", bare.Path(""), file}, "holds no keys document to sign for"},
             {{"--key", keys.Path("stranger.pem"), file}, "stranger.pem is not a release key of keys version 1"},
             {{"--key", keys.Path("release.pem"), out.Path("no")}, "cannot read"},
             {{"--key", keys.Path("release.pem"), "sub\\CON=" + file}, "sub\\CON: it is a path no upgrade list"},
             {{"--key", keys.Path("release.pem"), std::string(65, 'n') + "=" + file}, "longer than the 64 bytes"},
             {{"--key", keys.Path("release.pem"), "caf\xc3\xa9.txt=" + file}, "outside ASCII"},
             {{"--key", keys.Path("release.pem"), "a.uib=" + file}, "is not a package that decodes"},
             {{"--key", keys.Path("release.pem"), "a.txt.BlockMap=" + file},
              "is named as the server serves block maps"},
             {{"--key", keys.Path("release.pem"), "sub\\x.txt=" + file, "SUB\\X.TXT=" + other},
              "lists sub\\x.txt and SUB\\X.TXT, which differ, but are one file"},
         }) {
        std::vector<std::string> sign = {"sign", "--release", "1", "--out", out.Path("")};
        sign.insert(sign.end(), args.begin(), args.end());
        const Outcome outcome = Uibpack(sign);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.output.find(says), std::string::npos) << outcome.output;
        EXPECT_EQ(out.Names(), written);
        EXPECT_EQ(bare.Names(), std::set<std::string>());
    }
}

}  // namespace
