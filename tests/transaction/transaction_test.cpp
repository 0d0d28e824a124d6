// The transaction through its own API. One run (a file replaced, one made in
// a new folder, one removed, a held version file, a step with its undo) is
// killed or failed at each of its changes, in both ways of putting files in
// place: recovered under any spelling of the target, it leaves exactly the
// old files or the new ones. No write goes through a second name, meddling
// after a kill is kept, and untrusted journals are never acted on.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "posix/fault.h"
#include "support.h"
#include "journal.h"
#include "transaction.h"

namespace {

using test::Exists;
using test::ReadFile;
using test::WriteFile;
using Tree = std::map<std::string, std::string>;
namespace fs = std::filesystem;

// Every file and folder below top by its path there: a file's bytes, "/" for a folder.
Tree TreeOf(const std::string& top) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(test::Native(top)))
        tree[fs::relative(entry.path(), test::Native(top)).generic_string()] =
            entry.is_directory() ? "/" : ReadFile(entry.path().string());
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

// A Version as an installer may leave it: a CR, and longer than a line's worth.
const std::string OldVersion = "2.00\r" + std::string(70, 'v');

class TransactionTest : public test::InScratchDirTest {
protected:
    void SetUp() override {
        InScratchDirTest::SetUp();
        Reset();
        before = after = TreeOf(dir.path());
        after.erase("t/gone.txt");
        for (const auto& [name, bytes] : Tree{{"t/a.txt", "new a"}, {"t/sub", "/"}, {"t/sub/b.txt", "new b"},
                                               {"t/lzx.ver", "new table"}, {"registry", "2.04"}})
            after[name] = bytes;
    }

    // The installation before the run.
    void Reset() {
        fs::remove_all(test::Native(dir / "t"));
        fs::create_directory(test::Native(dir / "t"));
        for (const auto& [name, bytes] : Tree{{"t\\a.txt", "old a"}, {"t\\keep.txt", "keep"}, {"t\\gone.txt", "gone"},
                                               {"t\\lzx.ver", "old table"}, {"registry", OldVersion}})
            WriteFile(dir / name, bytes);
    }

    static std::string Table(const std::string& target) { return target + (target.back() == '/' ? "" : "/") + "lzx.ver"; }

    // The run, on target spelled as given; staged() is called once every
    // file is staged, before any is put in place.
    void Run(bool byCopy, const std::string& target, const std::function<void()>& staged = {}) {
        HeldFile held;
        held.Take(Table(target).c_str(), HeldFile::HeldOwnFolder, "Test");
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
        FileWrite(held.Hold(), 9, "new table");
        if (staged)
            staged();
        run.Place();
        run.Step("registry", ReadFile(registry).c_str(), WriteBack, &registry);
        WriteFile(registry, "2.04");
        run.Commit();
    }

    // Does work in a child with a kill or a failure armed at a change;
    // true when it got through without meeting it.
    bool Armed(long killAt, long failAt, const std::function<void()>& work) {
        EXPECT_EXIT(
            {
                FaultArm(killAt, failAt);
                work();
                WriteFile(dir / "done", "");
                _exit(0);
            },
            KilledOrEnded, "");
        return fs::remove(test::Native(dir / "done"));
    }

    // The file in t whose name begins with prefix and ends in suffix (a staged file, a backup).
    fs::path Beside(const std::string& prefix, const std::string& suffix) const {
        for (const auto& entry : fs::directory_iterator(test::Native(dir / "t"))) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0 && name.size() > suffix.size() && name.ends_with(suffix))
                return entry.path();
        }
        return {};
    }

    TxnOutcome Recover(const std::string& target, std::string* told = nullptr) {
        Transaction::RecoverOptions options;
        options.held.push_back({Table(target), HeldFile::HeldOwnFolder});
        options.steps.push_back({"registry", WriteBack, &registry});
        options.report = Told;
        std::string ignored;
        options.context = told != nullptr ? told : &ignored;
        return Transaction::Recover(target.c_str(), options);
    }

    bool OldOrNew() const {
        const Tree now = TreeOf(dir.path());
        return now == before || now == after;
    }

    std::string registry = dir / "registry";
    Tree before, after;
};

TEST_F(TransactionTest, ARunKilledOrFailedAtAnyChangeLeavesTheOldFilesOrTheNew) {
    const std::vector<std::string> spellings = {"t", "t/", "./t", dir / "t", dir.path() + "/t/"};
    for (const bool byCopy : {false, true}) {
        long point = 1;
        for (bool through = false; !through; ++point) {
            SCOPED_TRACE((byCopy ? "copy mode, change " : "rename mode, change ") + std::to_string(point));
            const std::string& spelling = spellings[static_cast<std::size_t>(point) % spellings.size()];
            const std::string& other = spellings[static_cast<std::size_t>(point + 1) % spellings.size()];
            // Killed: the next run, with another spelling, undoes it, or
            // completes it once it was committed.
            Reset();
            through = Armed(point, 0, [&] { Run(byCopy, spelling); });
            const TxnOutcome outcome = Recover(other);
            const Tree killed = TreeOf(dir.path());
            EXPECT_TRUE(killed == before || killed == after) << testing::PrintToString(killed);
            EXPECT_TRUE(outcome == TxnOutcome::Nothing || (killed == after) == (outcome == TxnOutcome::Completed));
            // Failed: the run undoes itself; a failure after the commit
            // leaves at most its leftovers, which the next run clears.
            Reset();
            Armed(0, point, [&] { Run(byCopy, spelling); });
            const TxnOutcome finished = OldOrNew() ? TxnOutcome::Nothing : Recover(other);
            EXPECT_TRUE(OldOrNew() && (finished == TxnOutcome::Nothing || finished == TxnOutcome::Completed));
            // A recovery killed at any of its own changes is finished by the next.
            Reset();
            Armed(point, 0, [&] { Run(byCopy, spelling); });
            for (long again = 1; point % 4 == 0 && !OldOrNew() && again < 100; ++again)
                Armed(again, 0, [&] { Recover(spelling); });
            Recover(other);
            EXPECT_TRUE(OldOrNew());
        }
        EXPECT_GT(point, 20);
    }
}

TEST_F(TransactionTest, NoWriteGoesThroughASecondNameAndNoNameTakenMeanwhileIsTaken) {
    const auto link = [&](const fs::path& name) { fs::create_hard_link(name, test::Native(dir / "spy")); };
    // What is done once the run's files are staged, and what stands
    // afterwards beside the old files.
    const std::vector<std::pair<std::function<void()>, Tree>> cases = {
        {[&] { link(test::Native(dir / "t/lzx.ver")); }, {{"spy", "old table"}}},
        {[&] { link(test::Native(dir / "t/a.txt")); }, {{"spy", "old a"}}},
        {[&] { link(Beside("a.txt.", ".tmp")); }, {{"spy", "new a"}}},
        {[&] { WriteFile(dir / "t/sub/b.txt", "theirs"); }, {{"t/sub", "/"}, {"t/sub/b.txt", "theirs"}}},
    };
    for (const bool byCopy : {false, true}) {
        for (const auto& [meddle, left] : cases) {
            SCOPED_TRACE(testing::PrintToString(left) + (byCopy ? ", copy mode" : ", rename mode"));
            Reset();
            fs::remove(test::Native(dir / "spy"));
            Tree expected = before;
            expected.insert(left.begin(), left.end());
            EXPECT_EXIT(Run(byCopy, "t", meddle), test::FatalExit(), "refused|another program");
            EXPECT_EQ(TreeOf(dir.path()), expected);
        }
    }
}

TEST_F(TransactionTest, RecoveryKeepsWhatTheRunDidNotPutThere) {
    WriteFile(dir / "victim.txt", "victim");
    const auto at = [&](const std::string& name) { return test::Native(dir / name); };
    // What someone does once a run is killed, to the name given (the run's
    // file number n); the file whose bytes the recovery must leave as they
    // are then.
    const std::vector<std::tuple<std::string, int, std::string, std::function<void()>>> cases = {
        {"t/sub/b.txt", 1, "t/sub/b.txt",
         [&] {
             fs::remove(at("t/sub/b.txt"));
             fs::create_directories(at("t/sub"));
             WriteFile(dir / "t/sub/b.txt", "mine");
         }},
        {"t/a.txt", 0, "t/a.txt", [&] { fs::remove(at("t/a.txt")), WriteFile(dir / "t/a.txt", "mine"); }},
        {"t/a.txt", 0, "t/a.txt", [&] { fs::remove(at("t/a.txt")), fs::create_hard_link(at("victim.txt"), at("t/a.txt")); }},
        {"t/a.txt", 0, "spy", [&] { fs::exists(at("t/a.txt")) && (fs::create_hard_link(at("t/a.txt"), at("spy")), true); }},
        {"t/a.txt", 0, "t/a.txt", [&] { const fs::path b = Beside("a.txt.", ".old"); !b.empty() && (fs::remove(b), WriteFile(b, "forged"), true); }},
    };
    for (const bool byCopy : {false, true}) {
        for (const auto& [name, n, watch, meddle] : cases) {
            for (long point = 1; Reset(), fs::remove(at("spy")), !Armed(point, 0, [&] { Run(byCopy, "t"); }); ++point) {
                SCOPED_TRACE(watch + (byCopy ? ", copy mode, change " : ", rename mode, change ") + std::to_string(point));
                const std::string journal = ReadFile(dir / "t/.lzx-update/journal");
                if (journal.empty())
                    continue;
                meddle();
                const std::string theirs = ReadFile(dir / watch);
                std::string told;
                Recover("t", &told);
                EXPECT_EQ(ReadFile(dir / watch), theirs);
                EXPECT_EQ(ReadFile(dir / "victim.txt"), "victim");
                // A name the run had not begun on is neither touched nor reported.
                const bool begun = journal.find("\nput " + std::to_string(n) + " ") != std::string::npos;
                EXPECT_TRUE(begun || told.find(name.substr(2)) == std::string::npos) << told;
                // Everything else as before or after; where the run had
                // replaced the file, the file it replaced is kept beside it,
                // and the report says so.
                Tree left = TreeOf(dir.path()), old = before, made = after;
                for (Tree* tree : {&left, &old, &made}) {
                    std::erase_if(*tree, [&](const auto& file) {
                        const bool kept = file.first.rfind(name + ".", 0) == 0;
                        EXPECT_TRUE(!kept || told.find("so it is kept") != std::string::npos) << told;
                        return kept || name.rfind(file.first, 0) == 0 || file.first == "victim.txt" || file.first == "spy";
                    });
                }
                EXPECT_TRUE(left == old || left == made) << testing::PrintToString(left);
            }
        }
    }
}

TEST_F(TransactionTest, AJournalThatCannotBeTrustedIsRefusedWhole) {
    const auto id = [](const std::string& folder) {
        const OsHandle handle = OsOpenFolder(folder.c_str());
        OsFileInfo info{};
        OsIdentify(handle, &info);
        OsCloseFolder(handle);
        return JournalId(info.id);
    };
    fs::create_directory(test::Native(dir / "t\\.lzx-update"));
    WriteFile(dir / "victim.txt", "victim");
    const std::vector<std::vector<std::string>> plan = {
        {"LZX-journal", "3"}, {"target", id(dir / "t")}, {"stage", id(dir / "t\\.lzx-update")}, {"tag", "0A0B0C"},
        {"mode", "rename"},   {"file", "0", "new", "0", "b.txt"}, {"staging"}};
    // The plan with its line at replaced by lines, and what the refusal says.
    const std::vector<std::tuple<std::size_t, decltype(plan), std::string>> cases = {
        {0, {{"LZX", "journal", "2"}}, "is not one this program wrote"},
        {1, {{"target", id(dir.path())}}, "was written for another folder"},
        {2, {{"stage", id(dir / "t")}}, "was not written in this staging folder"},
        {5, {{"file", "0", "new", "0", "..\\victim.txt"}}, "names a file outside its target"},
        {5, {{"file", "0", "new", "0", "C:victim.txt"}}, "names a file outside its target"},
        {5, {{"root", "1", id(dir.path()), "elsewhere"}}, "names a folder outside"},
        {6, {{"put", "0"}}, "holds a record it cannot take"},
        {6, {{"staging"}, {"commit"}, {"step", "registry", "2.00"}, {"step", "unknown", "x"}}, "took the step \"unknown\""},
    };
    for (const auto& [at, lines, why] : cases) {
        SCOPED_TRACE(why);
        std::string text;
        for (std::size_t line = 0; line < plan.size(); ++line)
            for (const auto& words : line == at ? lines : decltype(plan){plan[line]})
                text += JournalLine(words);
        WriteFile(dir / "t\\.lzx-update\\journal", text);
        const Tree planted = TreeOf(dir.path());
        EXPECT_EXIT(Recover("t"), test::FatalExit(), why + ".*nothing was changed");
        EXPECT_EQ(TreeOf(dir.path()), planted);
    }
    // A line that does not match its seal is damage; a last line a kill
    // tore (no CR LF) is a step never taken: a user's file at the name of
    // "put 0" is kept.
    std::string text;
    for (const auto& words : plan)
        text += JournalLine(words);
    WriteFile(dir / "t\\.lzx-update\\journal", text + "put 0 00000000\r\n");
    EXPECT_EXIT(Recover("t"), test::FatalExit(), "is damaged \\(line 8\\)");
    WriteFile(dir / "t\\b.txt", "mine");
    WriteFile(dir / "t\\.lzx-update\\journal", text + JournalLine({"commit"}) + "put 0 1234");
    EXPECT_EQ(Recover("t/"), TxnOutcome::RolledBack);
    EXPECT_EQ(ReadFile(dir / "t\\b.txt"), "mine");
    EXPECT_FALSE(Exists(dir / "t\\.lzx-update"));
}

TEST(JournalWords, EveryTextReadsBack) {
    std::string every;
    for (int byte = 0; byte < 256; ++byte)
        every += static_cast<char>(byte);
    for (const std::string& text : {every, OldVersion, std::string("%"), std::string()}) {
        std::string back;
        EXPECT_EQ(JournalEncode(text).find_first_of(" \r\n"), std::string::npos);
        EXPECT_TRUE(JournalDecode(JournalEncode(text), &back));
        EXPECT_EQ(back, text);
    }
    std::string back;
    EXPECT_FALSE(JournalDecode("%4", &back) || JournalDecode("%zz", &back) || JournalDecode("a\tb", &back));
}

}  // namespace
