// The fatal report, internal errors and the global block table.
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

using test::FatalExit;
using test::FatalReport;

namespace {

TEST(FatalMessageTest, FormatsWithPrintfRulesAndExitsWithTwo) {
    EXPECT_EXIT(FatalMessage("LZX DoFread failed [%s, %d]", "a.bin", 16), FatalExit(),
                FatalReport("LZX DoFread failed [a.bin, 16]"));
}

TEST(FatalMessageTest, LongTextsAreShownWhole) {
    // A file error naming a 259-character path is far beyond 200 bytes.
    const std::string path = "C:\\" + std::string(256, 'p');
    const std::string text = "\nFile Error : name = [" + path + "] code = 209";
    EXPECT_EXIT(FatalMessage("\nFile Error : name = [%s] code = %d", path.c_str(), 209), FatalExit(),
                FatalReport(text) + "\n$");
}

TEST(InternalErrorTest, BothForms) {
    EXPECT_EXIT(InternalError("LZX", 77, 123), FatalExit(), FatalReport("Internal error [123] in [LZX,77]"));
    EXPECT_EXIT(InternalError("FILEIO", 0, 0), FatalExit(), FatalReport("Internal error [0] in [FILEIO,0]"));
    EXPECT_EXIT(InternalError("UPDATER", 2278, -1), FatalExit(),
                FatalReport("Internal error\nFile: UPDATER\nLine: 2278"));
}

class BlockTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (void* block : blocks)
            FreeBlock(block);
        for (int slot = 0; slot < BlockSlots; ++slot)
            EXPECT_EQ(BlockTable.handle[slot], 0u) << "slot " << slot;
    }

    int SlotOf(void* address) {
        for (int slot = 0; slot < BlockSlots; ++slot)
            if (BlockTable.handle[slot] != 0 && BlockTable.address[slot] == address)
                return slot;
        return -1;
    }

    void* Alloc(int size) {
        blocks.push_back(AllocBlock(size));
        return blocks.back();
    }

    std::vector<void*> blocks;
};

TEST_F(BlockTest, SizesAreEvenAndAtLeastTwo) {
    const std::pair<int, unsigned> cases[] = {{0, 2}, {1, 2}, {2, 2}, {3, 4}, {431, 432}, {432000, 432000}};
    for (auto [asked, got] : cases) {
        void* block = Alloc(asked);
        const int slot = SlotOf(block);
        ASSERT_GE(slot, 0);
        EXPECT_EQ(BlockTable.size[slot], got) << "asked " << asked;
        std::memset(block, 0xA5, got);  // the whole rounded size is usable
    }
}

TEST_F(BlockTest, SlotsAreTakenFromTheLowestFreeOne) {
    void* a = Alloc(10);
    void* b = Alloc(10);
    void* c = Alloc(10);
    EXPECT_EQ(SlotOf(a), 0);
    EXPECT_EQ(SlotOf(b), 1);
    EXPECT_EQ(SlotOf(c), 2);
    FreeBlock(b);
    EXPECT_EQ(BlockTable.handle[1], 0u);
    EXPECT_EQ(BlockTable.address[1], nullptr);
    EXPECT_EQ(BlockTable.size[1], 0u);
    void* d = Alloc(10);
    EXPECT_EQ(SlotOf(d), 1);

    // An address that was never allocated is ignored.
    int unrelated = 0;
    FreeBlock(&unrelated);
    FreeBlock(nullptr);
    EXPECT_EQ(SlotOf(a), 0);
}

TEST_F(BlockTest, TheTwoHundredFirstBlockIsRefused) {
    for (int i = 0; i < BlockSlots; ++i)
        Alloc(2);
    EXPECT_EXIT(AllocBlock(2), FatalExit(), FatalReport("Internal error [125] in [UPDATER,1230]"));
    FreeBlock(blocks[42]);
    blocks.erase(blocks.begin() + 42);
    EXPECT_EQ(SlotOf(Alloc(2)), 42);
}

TEST_F(BlockTest, NegativeSizesAreInternalErrors) {
    EXPECT_EXIT(AllocBlock(-1), FatalExit(), FatalReport("Internal error [123] in [UPDATER,1194]"));
    EXPECT_EXIT(AllocBlock(-2147483647 - 1), FatalExit(), FatalReport("Internal error [123] in [UPDATER,1194]"));
}

}  // namespace
