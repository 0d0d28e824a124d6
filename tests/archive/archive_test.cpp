// Archives: building from a script, extraction with and without a version
// table, the entry options, and version files.

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "codec.h"
#include "lzx.h"
#include "codec/samples.h"
#include "support.h"

using samples::Bytes;
using test::Exists;
using test::FatalExit;
using test::FatalReport;
using test::ReadFile;
using test::WriteFile;

namespace {

struct Stored {
    std::string name;
    std::string data;
    int version = 204;
    int E = 0, D = 0, R = 0;
};

EntryRec EntryOf(const Stored& s) {
    EntryRec rec{};
    std::strncpy(rec.name, s.name.c_str(), sizeof rec.name - 1);
    rec.size = static_cast<std::int32_t>(s.data.size());
    rec.version = s.version;
    rec.E = s.E;
    rec.D = s.D;
    rec.R = s.R;
    return rec;
}

class ArchiveTest : public test::InScratchDirTest {
protected:

    // An archive written entry by entry, as the builder lays it out.
    void Archive(const std::vector<Stored>& entries, const std::string& name = "a.lzx") {
        HILE* stream = Hopen(name.c_str(), "wb");
        for (const Stored& s : entries) {
            std::uint8_t raw[EntrySize];
            EntryEncode(EntryOf(s), raw);
            Hwrite(raw, EntrySize, stream);
            Hwrite(s.data.data(), static_cast<int>(s.data.size()), stream);
        }
        Hclose(stream);
    }

    // The stream's bytes, cut after count bytes.
    void RawStream(const std::string& bytes, const std::string& name = "a.lzx") {
        HILE* stream = Hopen(name.c_str(), "wb");
        Hwrite(bytes.data(), static_cast<int>(bytes.size()), stream);
        Hclose(stream);
    }

    std::string Decompressed(const std::string& name) {
        HILE* stream = Hopen(name.c_str(), "rb");
        std::string bytes(static_cast<std::size_t>(HileLength(stream)), 0);
        Hread(bytes.data(), static_cast<int>(bytes.size()), stream);
        Hclose(stream);
        return bytes;
    }

    std::string In(const std::string& name) const { return target + "\\" + name; }

    static std::vector<EntryRec> Table(int capacity, const std::vector<Stored>& listed = {}) {
        std::vector<EntryRec> table(static_cast<std::size_t>(capacity));
        for (std::size_t i = 0; i < listed.size(); ++i)
            table[i] = EntryOf(listed[i]);
        return table;
    }

    void Script(const std::vector<std::string>& lines, const std::string& name = "pack.txt") {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\r\n";
        WriteFile(name, text);
    }

    const std::string target = dir / "target";
};

// ---- Extraction ----------------------------------------------------------

TEST_F(ArchiveTest, ExtractsNamesBelowTheTargetWithTheirDirectories) {
    Archive({{"#top.txt", "top"}, {"#Sub\\Deeper\\file.bin", std::string("\0\1\2", 3)}, {"#empty.dat", ""}});
    EXPECT_EQ(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0), 0);
    EXPECT_EQ(ReadFile(In("top.txt")), "top");
    EXPECT_EQ(ReadFile(In("Sub\\Deeper\\file.bin")), std::string("\0\1\2", 3));
    EXPECT_TRUE(Exists(In("empty.dat")));
    EXPECT_EQ(ReadFile(In("empty.dat")), "");

    // A name without "#" is a path of its own.
    const std::string own = dir / "own.txt";
    Archive({{own, "own"}});
    UnPackLZX("a.lzx", nullptr, nullptr, 0, 0);
    EXPECT_EQ(ReadFile(own), "own");

    Archive({{"#x.txt", "x"}});
    EXPECT_EXIT(UnPackLZX("a.lzx", nullptr, nullptr, 0, 0), FatalExit(), FatalReport("UnPackLZX no target"));
}

// Two extractions at once share no buffer: each thread's files are its own
// archive's, byte for byte.
TEST_F(ArchiveTest, TwoThreadsUnpackTwoArchivesAtOnce) {
    std::vector<Stored> archives[2];
    for (std::uint32_t i = 0; i < 8; ++i) {
        const Bytes text = samples::Text(100000, i + 1), code = samples::Code(100000, i + 1);
        archives[0].push_back({"#f" + std::to_string(i), std::string(text.begin(), text.end())});
        archives[1].push_back({"#f" + std::to_string(i), std::string(code.begin(), code.end())});
    }
    Archive(archives[0], "one.lzx");
    Archive(archives[1], "two.lzx");
    const std::string targets[2] = {dir / "one", dir / "two"};
    std::thread other([&] { UnPackLZX("one.lzx", targets[0].c_str(), nullptr, 0, 0); });
    UnPackLZX("two.lzx", targets[1].c_str(), nullptr, 0, 0);
    other.join();
    for (int a = 0; a < 2; ++a) {
        for (const Stored& s : archives[a])
            EXPECT_TRUE(ReadFile(targets[a] + "\\" + s.name.substr(1)) == s.data) << s.name;
    }
}

TEST_F(ArchiveTest, EmptyAndCutArchives) {
    RawStream("");
    EXPECT_EQ(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0), 0);

    std::uint8_t raw[EntrySize];
    EntryEncode(EntryOf({"#cut.txt", std::string(50, 'c')}), raw);
    const std::string record(reinterpret_cast<char*>(raw), EntrySize);
    RawStream(record.substr(0, 100));
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0), FatalExit(),
                FatalReport("UnPackLZX: target fail"));
    RawStream(record + std::string(20, 'c'));
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0), FatalExit(),
                FatalReport("UnPackLZX: unexpected eof"));

    // A stored name with no room for its terminating zero.
    std::memset(raw, 'n', EntryNameSize);
    RawStream(std::string(reinterpret_cast<char*>(raw), EntrySize));
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0), FatalExit(),
                FatalReport("UnPackLZX: stored name of 256 characters or more at stream offset 0"));

    Stored negative{"#neg.txt", ""};
    EntryRec rec = EntryOf(negative);
    rec.size = -5;
    EntryEncode(rec, raw);
    RawStream(std::string(reinterpret_cast<char*>(raw), EntrySize) + "trailing");
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0), FatalExit(),
                FatalReport("UnPackLZX: negative size of entry [#neg.txt]"));

    // A target path that does not fit 259 characters with its temporary name.
    const std::string longName = "#" + std::string(255, 'p');
    Archive({{longName, "p"}});
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0), FatalExit(),
                "UnPackLZX: target path of " + test::AnyNumber + " characters, at most " +
                    std::to_string(259 - SiblingExtra));
}

TEST_F(ArchiveTest, VersionsDecideAgainstTheTable) {
    Archive({{"#A.TXT", "new a"}, {"#b.txt", "new b"}, {"#c.txt", "new c"}, {"#fresh.txt", "fresh"}});
    for (int force : {0, 1}) {
        ASSERT_EQ(MakePath(target.c_str()), 1);
        WriteFile(In("b.txt"), "old b");
        WriteFile(In("c.txt"), "old c");
        std::vector<EntryRec> table =
            Table(10, {{"#a.txt", "", 204}, {"#b.txt", "", 205}, {"#c.txt", "", 100}});
        UnPackLZX("a.lzx", target.c_str(), table.data(), 10, force);

        // Equal version: replaced only with force; the record takes the entry's.
        // (The entry's own spelling names the file; on a case-sensitive file
        // system that is a file of its own.)
        EXPECT_EQ(test::Exists(In("A.TXT")), force == 1);
        EXPECT_EQ(table[0].status, force ? EntryUpdated : EntryKept);
        EXPECT_STREQ(table[0].name, force ? "#A.TXT" : "#a.txt");
        // Installed copy newer: kept whatever force says; its version stays.
        EXPECT_EQ(ReadFile(In("b.txt")), "old b");
        EXPECT_EQ(table[1].status, EntryKept);
        EXPECT_EQ(table[1].version, 205);
        // Older: replaced.
        EXPECT_EQ(ReadFile(In("c.txt")), "new c");
        EXPECT_EQ(table[2].status, EntryUpdated);
        EXPECT_EQ(table[2].version, 204);
        // Not listed: appended at the first empty record with the whole record.
        EXPECT_EQ(ReadFile(In("fresh.txt")), "fresh");
        EXPECT_STREQ(table[3].name, "#fresh.txt");
        EXPECT_EQ(table[3].status, EntryNew);
        EXPECT_EQ(table[3].size, 5);
        EXPECT_EQ(table[3].version, 204);
        EXPECT_EQ(table[4].name[0], 0);
    }
}

TEST_F(ArchiveTest, AFullTableRefusesOnlyNewNames) {
    Archive({{"#one", "1"}, {"#two", "2"}, {"#three", "3"}});
    std::vector<EntryRec> table = Table(3, {{"#one", "", 100}, {"#two", "", 100}, {"#three", "", 100}});
    UnPackLZX("a.lzx", target.c_str(), table.data(), 3, 0);
    EXPECT_EQ(table[2].status, EntryUpdated);

    Archive({{"#one", "1"}, {"#four", "4"}});
    table = Table(3, {{"#one", "", 100}, {"#two", "", 100}, {"#three", "", 100}});
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), table.data(), 3, 0), FatalExit(),
                FatalReport("UnPackLZX too many files"));
}

TEST_F(ArchiveTest, WithoutATableExistingFilesNeedForce) {
    Archive({{"#keep.txt", "archive"}, {"#make.txt", "archive"}});
    ASSERT_EQ(MakePath(target.c_str()), 1);
    WriteFile(In("keep.txt"), "mine");
    UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0);
    EXPECT_EQ(ReadFile(In("keep.txt")), "mine");
    EXPECT_EQ(ReadFile(In("make.txt")), "archive");
    UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 1);
    EXPECT_EQ(ReadFile(In("keep.txt")), "archive");
}

TEST_F(ArchiveTest, ExistingOnlyScrambleAndDelete) {
    Stored existingOnly{"#only.txt", "only", 204, 0, 0, 1};
    Archive({existingOnly});
    std::vector<EntryRec> table = Table(5);
    UnPackLZX("a.lzx", target.c_str(), table.data(), 5, 0);
    EXPECT_FALSE(Exists(In("only.txt")));
    EXPECT_EQ(table[0].status, EntryNew);  // recorded, though not written
    WriteFile(In("only.txt"), "before");
    UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 1);
    EXPECT_EQ(ReadFile(In("only.txt")), "only");

    // E = 1 on 5 bytes: one step, bytes 1 to 4; E = 2: nothing.
    Archive({{"#e1.bin", "abcde", 204, 1}, {"#e2.bin", "abcde", 204, 2}});
    UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 1);
    std::string scrambled = "abcde";
    std::uint32_t word = Load32(reinterpret_cast<const std::uint8_t*>(scrambled.data()) + 1) ^ 0x5C3E9A71u;
    Store32(reinterpret_cast<std::uint8_t*>(scrambled.data()) + 1, word);
    EXPECT_EQ(ReadFile(In("e1.bin")), scrambled);
    EXPECT_EQ(ReadFile(In("e2.bin")), "abcde");

    // D: written, then deleted; an entry that was not written deletes nothing.
    Archive({{"#gone.txt", "gone", 204, 0, 1}, {"#kept.txt", "archive", 204, 0, 1}});
    WriteFile(In("kept.txt"), "installed");
    table = Table(5, {{"#kept.txt", "", 300}});
    UnPackLZX("a.lzx", target.c_str(), table.data(), 5, 1);
    EXPECT_FALSE(Exists(In("gone.txt")));
    EXPECT_EQ(ReadFile(In("kept.txt")), "installed");
}

TEST_F(ArchiveTest, ScrambleIsItsOwnInverse) {
    const Bytes original = samples::RandomBytes(10000, 12);
    const std::string name = dir / "s.bin";
    WriteFile(name, std::string(original.begin(), original.end()));
    FileRec rec;
    FileInit(&rec, 1, name.c_str());
    EntryScramble(&rec);
    const std::string once = ReadFile(name);
    EXPECT_EQ(once[0], static_cast<char>(original[0]));
    EXPECT_NE(once, std::string(original.begin(), original.end()));
    EntryScramble(&rec);
    EXPECT_EQ(ReadFile(name), std::string(original.begin(), original.end()));

    for (const std::string small : {"", "a", "abcd"}) {  // 4 bytes or less: unchanged
        WriteFile(name, small);
        EntryScramble(&rec);
        EXPECT_EQ(ReadFile(name), small);
    }
}

TEST_F(ArchiveTest, LimitsOfTablesNamesAndPaths) {
    // An empty version table has room for exactly 1000 new files.
    std::vector<Stored> many;
    for (int i = 0; i < 1001; ++i)
        many.push_back({"#f" + std::to_string(i), ""});
    many.pop_back();
    Archive(many);
    int capacity = 0;
    EntryRec* table = VersionTableLoad("none.ver", &capacity);
    UnPackLZX("a.lzx", target.c_str(), table, capacity, 1);
    EXPECT_EQ(VersionTableSettle(table, capacity).added, 1000);
    FreeBlock(table);
    many.push_back({"#f1000", ""});
    Archive(many);
    table = VersionTableLoad("none.ver", &capacity);
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), table, capacity, 1), FatalExit(),
                FatalReport("UnPackLZX too many files"));
    FreeBlock(table);

    // A stored name of 255 characters fits its field.
    const std::string longest = "#" + std::string(254, 'n');
    std::uint8_t raw[EntrySize];
    EntryEncode(EntryOf({longest, "x"}), raw);
    EntryRec back;
    ASSERT_TRUE(EntryDecode(raw, &back));
    EXPECT_EQ(std::string(back.name), longest);

    // Target paths that leave room for the temporary name beside them are
    // made, one character more is refused.
    const std::string base = dir / "t";
    const int most = 259 - SiblingExtra;
    const std::size_t room = most - base.size() - 1;  // what the name may add after "\"
    Archive({{"#" + std::string(room, 'p'), "fits"}});
    UnPackLZX("a.lzx", base.c_str(), nullptr, 0, 0);
    EXPECT_EQ(ReadFile(base + "\\" + std::string(room, 'p')), "fits");
    Archive({{"#" + std::string(room + 1, 'p'), "too long"}});
    EXPECT_EXIT(UnPackLZX("a.lzx", base.c_str(), nullptr, 0, 0), FatalExit(),
                "UnPackLZX: target path of " + std::to_string(most + 1) + " characters, at most " +
                    std::to_string(most));
}

// ---- Hostile archives ------------------------------------------------------

// Every name that names no file, a device, a place outside the target or a
// second spelling of a file is refused before the first byte is written.
TEST_F(ArchiveTest, HostileNamesAreRefusedBeforeAnythingIsWritten) {
    for (const std::string bad :
         {"#", "#.", "#dir\\", "#dir\\.", "#NUL", "#sub\\com1.log", "#Lpt3\\x", "#aux .txt", "#..\\out.txt",
          "#a\\..\\..\\out.txt", "#.\\x.txt", "#\\x.txt", "#/x.txt", "#a/x.txt", "#a\\\\x.txt", "#x.txt.",
          "#x.txt ", "#dir.\\x.txt", "#DOCU~1\\x.txt", "#C:x.txt", "#x.txt:stream", "#t\x01.txt", "plain.txt"}) {
        Archive({{"#ok.txt", "ok"}, {bad, "x"}});
        EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0), FatalExit(),
                    FatalReport("UnPackLZX: entry 2 [" + EntryShowName(bad.c_str()) + "]"))
            << bad;
        EXPECT_FALSE(Exists(In("ok.txt"))) << bad;
    }
    // A trusted archive may lead outside, but not in another spelling.
    Archive({{"#..\\up.txt", "up"}});
    UnpackOptions trusted;
    trusted.anywhere = 1;
    UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0, trusted);
    EXPECT_EQ(ReadFile(dir / "up.txt"), "up");
    Archive({{"#..\\up.txt.", "up"}});
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 0, trusted), FatalExit(),
                "ends in a dot or a blank");

    // The builder refuses what extraction would.
    ASSERT_EQ(MakePath("src"), 1);
    WriteFile("src\\f.txt", "f");
    Script({"n.lzx", "src\\", "f.txt|V=204", "#sub\\.\\f.txt"});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(),
                FatalReport("PackLZX: stored name [#sub\\.\\f.txt] has a \".\" component"));
}

// A table record and an entry that name one file on Windows are one file:
// letters of code page 1252 in either case, an old record's other spelling.
TEST_F(ArchiveTest, TheTableComparesNamesAsTheFileSystemDoes) {
    Archive({{"#data\\caf\xe9.txt", "archive"}, {"#dir\\y.txt", "archive"}, {"#\xfe.txt", "archive"}});
    std::vector<EntryRec> table =
        Table(5, {{"#DATA\\CAF\xc9.TXT", "", 300}, {"#dir.\\.\\y.txt ", "", 300}, {"#\xde.txt", "", 100}});
    UnPackLZX("a.lzx", target.c_str(), table.data(), 5, 1);
    EXPECT_EQ(table[0].status, EntryKept);
    EXPECT_EQ(table[1].status, EntryKept);
    EXPECT_FALSE(Exists(In("dir\\y.txt")));
    EXPECT_EQ(table[2].status, EntryUpdated);
    EXPECT_EQ(table[3].name[0], 0);  // no file listed twice
}

// What would stop a run half way is found before the first write.
TEST_F(ArchiveTest, PathsThatCannotBeWrittenAreFoundFirst) {
    ASSERT_EQ(MakePath(In("folder\\x.txt").c_str()), 1);
    WriteFile(In("file"), "mine");
    const int longest = 259 - SiblingExtra;
    const std::size_t room = longest - target.size() - 1;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"#" + std::string(room + 1, 'p'), "UnPackLZX: target path of " + std::to_string(longest + 1) +
                                               " characters, at most " + std::to_string(longest)},
        {"#file\\x.txt", "is a file, not a folder"},
        {"#folder\\x.txt", "is a folder"},
    };
    for (const auto& [name, message] : cases) {
        Archive({{"#ok.txt", "ok"}, {name, "x"}});
        EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 1), FatalExit(), message) << name;
        EXPECT_FALSE(Exists(In("ok.txt"))) << name;
    }
    // A table with room for one more name, and two new names.
    Archive({{"#ok.txt", "ok"}, {"#two.txt", "2"}});
    std::vector<EntryRec> table = Table(2, {{"#one", "", 100}});
    EXPECT_EXIT(UnPackLZX("a.lzx", target.c_str(), table.data(), 2, 1), FatalExit(),
                FatalReport("UnPackLZX too many files"));
    EXPECT_FALSE(Exists(In("ok.txt")));
}

// The joined path stays below the target in every form of it, and its
// folders can be made there.
TEST_F(ArchiveTest, TargetsOfEveryForm) {
    Archive({{"#srv\\share\\x.txt", "x"}});
    const std::string rooted = test::RootRelative(target + "\\rooted");
    UnPackLZX("a.lzx", rooted.c_str(), nullptr, 0, 0);
    EXPECT_EQ(ReadFile(In("rooted\\srv\\share\\x.txt")), "x");
    UnPackLZX("a.lzx", (target + "\\sep\\").c_str(), nullptr, 0, 0);
    EXPECT_EQ(ReadFile(In("sep\\srv\\share\\x.txt")), "x");
    for (const char* partial : {"\\\\", "\\\\server", ""}) {
        EXPECT_EXIT(UnPackLZX("a.lzx", partial, nullptr, 0, 0), FatalExit(),
                    *partial ? "would be written outside" : "UnPackLZX no target")
            << partial;
    }
}

// ---- Building ------------------------------------------------------------

TEST_F(ArchiveTest, BuildsTheRecordsAndDataInOrder) {
    ASSERT_EQ(MakePath("src\\data"), 1);
    WriteFile("src\\prog.exe", std::string(30000, 'p'));
    WriteFile("src\\data\\book.bin", "book");
    WriteFile("src\\zero.txt", "");
    WriteFile("own.txt", "own");
    Script({"out.lzx", "src\\", "prog.exe|V=204", "#prog.exe", "data\\book.bin|V=204|E=1", "#System\\book.bin",
            "zero.txt||v=150|| R=1 |D=3|", "", "#zero.txt", "#own.txt|V=100|E=0|E=2", "#own.txt"});
    long long total = 0;
    int size = 0;
    std::vector<EntryRec> table(3);
    EXPECT_EQ(PackLZX("pack.txt", &total, &size, table.data(), 3), 4);
    EXPECT_EQ(total, 30000 + 4 + 0 + 3);
    EXPECT_EQ(size, static_cast<int>(ReadFile("out.lzx").size()));
    EXPECT_STREQ(table[2].name, "#zero.txt");
    EXPECT_EQ(table[2].version, 150);
    EXPECT_EQ(table[2].R, 1);
    EXPECT_EQ(table[2].D, 3);
    EXPECT_EQ(table[1].E, 1);

    const std::string bytes = Decompressed("out.lzx");
    ASSERT_EQ(bytes.size(), 4u * EntrySize + 30007);
    EntryRec rec;
    const auto* raw = reinterpret_cast<const std::uint8_t*>(bytes.data());
    ASSERT_TRUE(EntryDecode(raw, &rec));
    EXPECT_STREQ(rec.name, "#prog.exe");
    EXPECT_EQ(rec.size, 30000);
    EXPECT_EQ(rec.status, 0);
    EXPECT_EQ(std::string(bytes.data() + EntrySize, 30000), std::string(30000, 'p'));
    ASSERT_TRUE(EntryDecode(raw + EntrySize + 30000, &rec));
    EXPECT_STREQ(rec.name, "#System\\book.bin");
    EXPECT_EQ(std::string(bytes.data() + 2 * EntrySize + 30000, 4), "book");  // stored unchanged
    ASSERT_TRUE(EntryDecode(raw + 3 * EntrySize + 30004, &rec));
    EXPECT_EQ(rec.E, 2);  // the last value counts
    for (int i = 280; i < EntrySize; ++i)
        ASSERT_EQ(raw[i], 0);

    // And back.
    UnPackLZX("out.lzx", target.c_str(), nullptr, 0, 0);
    EXPECT_EQ(ReadFile(In("prog.exe")), std::string(30000, 'p'));
    EXPECT_FALSE(Exists(In("zero.txt")));  // R=1 and nothing there
    EXPECT_EQ(ReadFile(In("own.txt")), "own");
}

TEST_F(ArchiveTest, ScriptEdgeCases) {
    Script({"empty.lzx", "src\\"});
    long long total = -1;
    int size = -1;
    EXPECT_EQ(PackLZX("pack.txt", &total, &size, nullptr, 0), 0);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(size, 16);

    ASSERT_EQ(MakePath("src"), 1);
    WriteFile("src\\f.txt", "f");
    // A name line of 200 characters is refused, never read as two lines.
    Script({"n.lzx", "src\\", "f.txt|V=204", std::string(200, 'a')});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(),
                FatalReport("PackLZX: line 4 of [pack.txt] is longer than 128 characters"));

    Script({"n.lzx", "src\\", "f.txt|V=99", "#f"});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(),
                FatalReport("PackLZX: Version error [src\\f.txt]"));
    Script({"n.lzx", "src\\", "f.txt", "#f"});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(),
                FatalReport("PackLZX: Version error [src\\f.txt]"));
    Script({"n.lzx", "src\\", "f.txt|V=204| X=1", "#f"});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(),
                FatalReport("PackLZX: Unknown option [ X=1]"));
    Script({"n.lzx", "src\\", "|||", "#f"});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(),
                FatalReport("PackLZX: No filename found"));
    Script({"n.lzx", "src\\", "f.txt|V=204"});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(), FatalReport("PackLZX: No first line"));
    Script({"n.lzx"});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(),
                FatalReport("PackLZX: No base directory"));
    Script({});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(), FatalReport("PackLZX: No first line"));
    Script({"n.lzx", "src\\", "missing.txt|V=204", "#m"});
    EXPECT_EXIT(PackLZX("pack.txt", nullptr, nullptr, nullptr, 0), FatalExit(),
                FatalReport("PackLZX: source [src\\missing.txt] on line 3 does not exist; nothing written"));

    // A table of capacity 1 takes the first record only.
    Script({"two.lzx", "src\\", "f.txt|V=204", "#one", "f.txt|V=205", "#two"});
    std::vector<EntryRec> table(2);
    EXPECT_EQ(PackLZX("pack.txt", nullptr, nullptr, table.data(), 1), 2);
    EXPECT_STREQ(table[0].name, "#one");
    EXPECT_EQ(table[1].name[0], 0);
}

// ---- Version files -------------------------------------------------------

TEST_F(ArchiveTest, VersionFilesLoadSettleAndSave) {
    int capacity = 0;
    EntryRec* table = VersionTableLoad("missing.ver", &capacity);
    EXPECT_EQ(capacity, VersionTableRoom);
    EXPECT_EQ(table[0].name[0], 0);
    FreeBlock(table);

    std::vector<EntryRec> listed = Table(3, {{"#a", "", 200}, {"#b", "", 201}, {"#c", "", 202}});
    listed[1].status = 3;  // a status on disk is read as it is
    VersionTableSave("lzx.ver", listed.data(), 3);
    EXPECT_EQ(ReadFile("lzx.ver").size(), 3u * EntrySize);

    table = VersionTableLoad("lzx.ver", &capacity);
    EXPECT_EQ(capacity, 3 + VersionTableRoom);
    EXPECT_STREQ(table[2].name, "#c");
    EXPECT_EQ(table[2].version, 202);
    table[0].status = EntryUpdated;
    table[2].status = EntryKept;
    std::strcpy(table[3].name, "#d");
    table[3].status = EntryNew;
    const VersionCounts counts = VersionTableSettle(table, capacity);
    EXPECT_EQ(counts.length, 4);
    EXPECT_EQ(counts.added, 1);
    EXPECT_EQ(counts.updated, 1);
    EXPECT_EQ(counts.kept, 2);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(table[i].status, 0);
    VersionTableSave("lzx.ver", table, counts.length);
    FreeBlock(table);
    EXPECT_EQ(ReadFile("lzx.ver").size(), 4u * EntrySize);

}

// A damaged version file decides nothing: it is refused whole, naming the
// file and the record, never read as far as it goes.
TEST_F(ArchiveTest, DamagedVersionFilesAreRefusedWhole) {
    const auto record = [](const char* name, int version, int field = -1, std::int32_t value = 0) {
        EntryRec rec = EntryOf({name, "", version});
        if (field >= 0)
            (&rec.size)[field] = value;  // size, version, status ...
        std::uint8_t raw[EntrySize];
        EntryEncode(rec, raw);
        return std::string(reinterpret_cast<char*>(raw), EntrySize);
    };
    const std::string blank(EntrySize, '\0');
    const std::string a = record("#a", 200);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {a + blank + record("#c", 200), "record 2 of [bad.ver] is blank, but record 3 after it is not"},
        {a + std::string(10, 'x'), "[bad.ver] has 442 bytes, not a whole number of 432-byte records"},
        {a + std::string(EntrySize, 'x'), "record 2 of [bad.ver] has a name of 256 characters or more"},
        {record("#n", 200, 0, -1), "record 1 of [bad.ver] has a negative size"},
        {record("#n", 200, 1, -204), "record 1 of [bad.ver] has a negative version"},
        {a + record("#n", 200, 2, 4), "record 2 of [bad.ver] has a status other than 0 to 3"},
        {record("", 200), "record 1 of [bad.ver] has no name, but other fields"},
    };
    for (const auto& [bytes, problem] : cases) {
        WriteFile("bad.ver", bytes);
        int capacity = 0;
        EXPECT_EXIT(VersionTableLoad("bad.ver", &capacity), FatalExit(),
                    FatalReport("VersionTableLoad: " + problem + "; refused"))
            << problem;
    }
    // Blank records at the end are where the table ends.
    WriteFile("end.ver", a + blank + blank);
    int capacity = 0;
    EntryRec* table = VersionTableLoad("end.ver", &capacity);
    EXPECT_EQ(VersionTableSettle(table, capacity).length, 1);
    FreeBlock(table);
}

}  // namespace
