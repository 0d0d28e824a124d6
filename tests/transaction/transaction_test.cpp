// The transaction through its own API. One run (a file replaced, one made in
// a new folder, one removed, a held version file rewritten, a step taken
// with its undo) is killed, or made to fail, at each of its changes in turn,
// in both ways of putting files in place: what is left, once recovered, is
// exactly the old files or exactly the new ones, whatever spelling of the
// target each side uses. Someone who meddles after a kill finds their files
// kept and nothing written through a second name; journals that cannot be
// trusted are refused and never acted on.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/fault.h"
#include "tests/support.h"
#include "transaction/journal.h"
#include "transaction/transaction.h"

namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;
using Tree = std::map<std::string, std::string>;

// Every file and folder below top, by its path there: a file's bytes, "/"
// for a folder.
Tree TreeOf(const std::string& top) {
    Tree tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(test::Native(top))) {
        const std::string name = std::filesystem::relative(entry.path(), test::Native(top)).generic_string();
        tree[name] = entry.is_directory() && !entry.is_symlink() ? "/" : ReadFile(entry.path().string());
    }
    return tree;
}

bool WriteBack(const char* value, void* registry) {
    WriteFile(*static_cast<std::string*>(registry), value);
    return true;
}

void Told(const char* text, void* into) {
    *static_cast<std::string*>(into) += text;
}

// Ended by SIGKILL, or by its own exit: 0 (done) or 2 (a fatal report).
bool KilledOrEnded(int status) {
    return (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ||
           (WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2));
}

class TransactionTest : public test::InScratchDirTest {
protected:
    void SetUp() override {
        InScratchDirTest::SetUp();
        Reset();
        before = TreeOf(dir.path());
        after = before;
        after["t/a.txt"] = "new a";
        after["t/sub"] = "/";
        after["t/sub/b.txt"] = "new b";
        after.erase("t/gone.txt");
        after["t/lzx.ver"] = "new table";
        after["registry"] = "2.04";
    }

    // The installation before the run, in the scratch directory.
    void Reset() {
        std::filesystem::remove_all(test::Native(dir / "t"));
        std::filesystem::remove_all(test::Native(dir / "sub"));
        std::filesystem::create_directory(test::Native(dir / "t"));
        for (const auto& [name, bytes] : Tree{{"t\\a.txt", "old a"}, {"t\\keep.txt", "keep"}, {"t\\gone.txt", "gone"},
                                               {"t\\lzx.ver", "old table"}, {"registry", "2.00"}})
            WriteFile(dir / name, bytes);
        std::filesystem::remove(test::Native(dir / "done"));
    }

    // The run, on target spelled as given; staged() is called once every
    // file is staged, before any is put in place.
    void Run(bool byCopy, const std::string& target, const std::function<void()>& staged = {}) {
        const std::string table = target + (target.back() == '/' ? "" : "/") + "lzx.ver";
        HeldFile held;
        held.Take(table.c_str(), HeldFile::HeldOwnFolder, "Test");
        Transaction run(target.c_str(), "Test", byCopy);
        const int a = run.Plan(0, "a.txt", TxnChange::Replace, 5, 5);
        run.PlanFolder(0, "sub");
        const int b = run.Plan(0, "sub\\b.txt", TxnChange::New, 5, 0);
        run.Plan(0, "gone.txt", TxnChange::Remove, 0, 4);
        run.Adopt(&held, 9);
        run.Begin();
        for (const auto& [file, bytes] : {std::pair{a, "new a"}, std::pair{b, "new b"}}) {
            FileRec out;
            run.Stage(file, &out);
            FileWrite(&out, 5, bytes);
            run.Staged(file, &out);
        }
        FileSeek(held.Hold(), 0, 0);
        FileWrite(held.Hold(), 9, "new table");
        FileSetEnd(held.Hold());
        if (staged)
            staged();
        run.Place();
        run.Step("registry", ReadFile(registry).c_str(), WriteBack, &registry);
        WriteFile(registry, "2.04");
        run.Commit();
        WriteFile(dir / "done", "");
    }

    // Runs in a child, with a kill or a failure armed at a change; true
    // when the run got through without meeting it.
    bool RunArmed(bool byCopy, const std::string& target, long killAt, long failAt,
                  const std::function<void()>& staged = {}) {
        EXPECT_EXIT(
            {
                FaultArm(killAt, failAt);
                Run(byCopy, target, staged);
                _exit(0);
            },
            KilledOrEnded, "");
        const bool through = Exists(dir / "done");
        std::filesystem::remove(test::Native(dir / "done"));
        return through;
    }

    TxnOutcome Recover(const std::string& target, std::string* told = nullptr) {
        Transaction::RecoverOptions options;
        options.operation = "Test";
        options.held.push_back({target + (target.back() == '/' ? "" : "/") + "lzx.ver", HeldFile::HeldOwnFolder});
        options.steps.push_back({"registry", WriteBack, &registry});
        options.report = Told;
        std::string ignored;
        options.context = told != nullptr ? told : &ignored;
        return Transaction::Recover(target.c_str(), options);
    }

    // The spellings of one target a user or a registry gives.
    std::vector<std::string> Spellings() const { return {"t", "t/", "./t", dir / "t", dir.path() + "/t/"}; }

    std::string registry = dir / "registry";
    Tree before, after;
};

TEST_F(TransactionTest, ARunKilledOrFailedAtAnyChangeLeavesTheOldFilesOrTheNew) {
    const auto spellings = Spellings();
    for (const bool byCopy : {false, true}) {
        int changes = 0;
        for (long point = 1;; ++point) {
            SCOPED_TRACE((byCopy ? "copy mode, change " : "rename mode, change ") + std::to_string(point));
            const std::string& spelling = spellings[static_cast<std::size_t>(point) % spellings.size()];
            const std::string& other = spellings[static_cast<std::size_t>(point + 1) % spellings.size()];

            // Killed: the next run, with another spelling, recovers.
            Reset();
            const bool through = RunArmed(byCopy, spelling, point, 0);
            const TxnOutcome outcome = Recover(other);
            const Tree killed = TreeOf(dir.path());
            EXPECT_TRUE(killed == before || killed == after) << testing::PrintToString(killed);
            if (outcome == TxnOutcome::Completed || through) {
                EXPECT_EQ(killed, after);
            } else if (outcome != TxnOutcome::Nothing) {
                EXPECT_EQ(killed, before);
            }
            // Failed: the run undoes itself; only a failure after the commit
            // leaves work for the next run (backups, the staging folder),
            // which completes it.
            Reset();
            RunArmed(byCopy, spelling, 0, point);
            if (TreeOf(dir.path()) != before && TreeOf(dir.path()) != after) {
                const Tree left = TreeOf(dir.path());
                const TxnOutcome finished = Recover(other);
                EXPECT_TRUE(finished == TxnOutcome::Completed || finished == TxnOutcome::Nothing)
                    << testing::PrintToString(left);
            }
            EXPECT_TRUE(TreeOf(dir.path()) == before || TreeOf(dir.path()) == after);
            if (through) {
                changes = static_cast<int>(point);
                break;
            }
            // A recovery killed at any of its own changes is finished by the next.
            Reset();
            RunArmed(byCopy, spelling, point, 0);
            for (long again = 1; point % 4 == 0 && again < 100; ++again) {
                SCOPED_TRACE("recovery killed at its change " + std::to_string(again));
                EXPECT_EXIT(
                    {
                        FaultArm(again, 0);
                        Recover(spelling);
                        _exit(0);
                    },
                    KilledOrEnded, "");
                const Tree now = TreeOf(dir.path());
                if (now == before || now == after)
                    break;
            }
            Recover(other);
            EXPECT_TRUE(TreeOf(dir.path()) == before || TreeOf(dir.path()) == after)
                << testing::PrintToString(TreeOf(dir.path()));
        }
        EXPECT_GT(changes, 20);
    }
}

TEST_F(TransactionTest, NoWriteGoesThroughASecondName) {
    const auto link = [&](const std::string& name, const std::string& to) {
        std::filesystem::create_hard_link(test::Native(name), test::Native(to));
    };
    const auto stagedOf = [&](const std::string& name) {
        for (const auto& entry : std::filesystem::directory_iterator(test::Native(dir / "t"))) {
            const std::string leaf = entry.path().filename().string();
            if (leaf.rfind(name + ".", 0) == 0 && leaf.size() > 4 && leaf.substr(leaf.size() - 4) == ".tmp")
                return entry.path().string();
        }
        return std::string();
    };
    // The second name, and the bytes it must still show afterwards.
    struct Case {
        const char* what;
        std::function<void()> before, staged;
        const char* shows;
    };
    const std::vector<Case> cases = {
        {"the version file has a name elsewhere", [&] { link(dir / "t\\lzx.ver", dir / "spy"); }, {}, "old table"},
        {"a replaced file is given a name while the run stages", {}, [&] { link(dir / "t\\a.txt", dir / "spy"); },
         "old a"},
        {"a staged file is given a name", {}, [&] { link(stagedOf("a.txt"), dir / "spy"); }, "new a"},
    };
    for (const bool byCopy : {false, true}) {
        for (const Case& meddling : cases) {
            SCOPED_TRACE(std::string(meddling.what) + (byCopy ? ", copy mode" : ", rename mode"));
            Reset();
            if (meddling.before)
                meddling.before();
            Tree start = TreeOf(dir.path());
            start.erase("spy");
            EXPECT_EXIT(Run(byCopy, "t", meddling.staged), test::FatalExit(), "refused");
            EXPECT_EQ(ReadFile(dir / "spy"), meddling.shows);
            std::filesystem::remove(test::Native(dir / "spy"));
            EXPECT_EQ(TreeOf(dir.path()), start);
        }
    }
}

TEST_F(TransactionTest, RecoveryKeepsWhatTheRunDidNotPutThere) {
    WriteFile(dir / "victim.txt", "victim");
    // What someone does once a run is killed; false where it cannot be done.
    struct Case {
        const char* what;
        const char* name;  // in t
        std::function<bool()> meddle;
    };
    const std::vector<Case> cases = {
        {"the user makes a file the run would make", "sub/b.txt",
         [&] {
             if (Exists(dir / "t\\sub\\b.txt"))
                 return false;
             std::filesystem::create_directories(test::Native(dir / "t\\sub"));
             WriteFile(dir / "t\\sub\\b.txt", "mine");
             return true;
         }},
        {"the user puts their own file at a replaced name", "a.txt",
         [&] {
             std::filesystem::remove(test::Native(dir / "t\\a.txt"));
             WriteFile(dir / "t\\a.txt", "mine");
             return true;
         }},
        {"a replaced name becomes a second name of another file", "a.txt",
         [&] {
             std::filesystem::remove(test::Native(dir / "t\\a.txt"));
             std::filesystem::create_hard_link(test::Native(dir / "victim.txt"), test::Native(dir / "t\\a.txt"));
             return true;
         }},
    };
    for (const bool byCopy : {false, true}) {
        for (const Case& meddling : cases) {
            const std::string name = std::string("t/") + meddling.name;
            for (long point = 1;; ++point) {
                SCOPED_TRACE(std::string(meddling.what) + (byCopy ? ", copy mode, change " : ", rename mode, change ") +
                             std::to_string(point));
                Reset();
                if (RunArmed(byCopy, "t", point, 0))
                    break;
                if (!Exists(dir / "t\\.lzx-update\\journal") || !meddling.meddle())
                    continue;
                const std::string theirs = ReadFile(dir / name);
                std::string told;
                Recover("t", &told);
                EXPECT_EQ(ReadFile(dir / name), theirs);
                EXPECT_EQ(ReadFile(dir / "victim.txt"), "victim");
                // Where the run had replaced the file, the file it replaced
                // is kept beside it, and the report says so.
                Tree left = TreeOf(dir.path());
                for (auto file = left.begin(); file != left.end();) {
                    const bool backup = file->first.rfind(name + ".", 0) == 0;
                    if (backup) {
                        EXPECT_NE(told.find("so it is kept"), std::string::npos) << told;
                    }
                    file = backup || name.rfind(file->first, 0) == 0 || file->first == "victim.txt" ? left.erase(file)
                                                                                                      : std::next(file);
                }
                Tree old = before, made = after;
                for (Tree* tree : {&old, &made})
                    std::erase_if(*tree, [&](const auto& file) { return name.rfind(file.first, 0) == 0; });
                EXPECT_TRUE(left == old || left == made) << testing::PrintToString(left);
            }
        }
    }
}

// A journal, as a run writes it, for a target and its staging folder.
class JournalTest : public TransactionTest {
protected:
    void SetUp() override {
        TransactionTest::SetUp();
        std::filesystem::create_directory(test::Native(dir / "t\\.lzx-update"));
        plan = {{"LZX-journal", "3"}, {"target", Id(dir / "t")}, {"stage", Id(dir / "t\\.lzx-update")},
                {"tag", "0A0B0C"},     {"mode", "rename"},          {"file", "0", "new", "0", "b.txt"},
                {"staging"}};
    }

    static std::string Id(const std::string& folder) {
        const OsHandle handle = OsOpenFolder(folder.c_str());
        OsFileInfo info{};
        OsIdentify(handle, &info);
        OsCloseFolder(handle);
        return JournalId(info.id);
    }

    void Plant(const std::vector<std::vector<std::string>>& lines, const std::string& tail = "") {
        std::string text;
        for (const auto& words : lines)
            text += JournalLine(words);
        WriteFile(dir / "t\\.lzx-update\\journal", text + tail);
    }

    std::vector<std::vector<std::string>> plan;
};

TEST_F(JournalTest, AJournalThatCannotBeTrustedIsRefusedWhole) {
    WriteFile(dir / "victim.txt", "victim");
    // The plan with one line in place of another (at), or more lines after it.
    const auto with = [&](std::size_t at, std::vector<std::vector<std::string>> lines) {
        auto journal = plan;
        if (at < journal.size())
            journal.erase(journal.begin() + static_cast<long>(at));
        journal.insert(journal.begin() + static_cast<long>(std::min(at, journal.size())), lines.begin(), lines.end());
        return journal;
    };
    const std::size_t end = plan.size();
    struct Case {
        std::vector<std::vector<std::string>> lines;
        std::string tail, why;
    };
    const std::vector<Case> cases = {
        {{{"LZX", "journal", "2"}}, "", "is not one this program wrote"},
        {with(1, {{"target", Id(dir.path())}}), "", "was written for another folder"},
        {with(2, {{"stage", Id(dir / "t")}}), "", "was not written in this staging folder"},
        {with(5, {{"file", "0", "new", "0", "..\\victim.txt"}}), "", "names a file outside its target"},
        {with(5, {{"file", "0", "new", "0", "C:victim.txt"}}), "", "names a file outside its target"},
        {with(5, {{"file", "0", "new", "0", "sub/../../victim.txt"}}), "", "names a file outside its target"},
        {with(5, {{"root", "1", Id(dir.path()), "elsewhere"}}), "", "names a folder outside"},
        {with(end, {{"put", "0"}}), "", "holds a record it cannot take"},
        {with(end, {{"commit"}, {"step", "registry", "2.00"}, {"step", "unknown", "x"}}), "",
         "took the step \"unknown\""},
        {plan, "file 9 new 0 x 00000000\r\n", "is damaged \\(line 8\\)"},
    };
    for (const Case& planted : cases) {
        SCOPED_TRACE(planted.why);
        Plant(planted.lines, planted.tail);
        const Tree planted_ = TreeOf(dir.path());
        EXPECT_EXIT(Recover("t"), test::FatalExit(), planted.why + ".*nothing was changed");
        EXPECT_EQ(TreeOf(dir.path()), planted_);
    }
    EXPECT_EQ(ReadFile(dir / "victim.txt"), "victim");
}

TEST_F(JournalTest, ATornLastLineIsAStepNeverTakenAndEveryTextReadsBack) {
    // Killed while "put 0" was written: the new file's name was never
    // touched, so a user's file there is kept.
    WriteFile(dir / "t\\b.txt", "mine");
    auto lines = plan;
    lines.push_back({"commit"});
    Plant(lines, "put 0 1234");
    EXPECT_EQ(Recover("t/"), TxnOutcome::RolledBack);
    EXPECT_EQ(ReadFile(dir / "t\\b.txt"), "mine");
    EXPECT_FALSE(Exists(dir / "t\\.lzx-update"));

    std::string every;
    for (int byte = 0; byte < 256; ++byte)
        every += static_cast<char>(byte);
    for (const std::string& text : {every, std::string(300, 'v') + "\r\n2.00", std::string("%"), std::string()}) {
        std::string back;
        const std::string word = JournalEncode(text);
        EXPECT_EQ(word.find_first_of(" \r\n"), std::string::npos);
        EXPECT_TRUE(JournalDecode(word, &back));
        EXPECT_EQ(back, text);
    }
    std::string back;
    for (const char* word : {"%41", "%4", "%zz", "a b", "%0a"})
        EXPECT_FALSE(JournalDecode(word, &back)) << word;
}

}  // namespace
