#include "../../lib/sqlitecarve/Format_p.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace sqlcarve::fmt;

// Pages sized exactly to their usable bytes, so a read past them is one the sanitizers see.
std::vector<uint8_t> page(uint32_t size, std::initializer_list<std::pair<uint32_t, uint8_t>> bytes)
{
    std::vector<uint8_t> p(size, 0);
    for (const auto& [at, v] : bytes)
        p[at] = v;
    return p;
}

// Hostile headers are read as far as the page goes and no further: a cell count past the page
// leaves no pointer array, reads past the end give 0, the header of page 1 sits after the file's.
TEST(PageViews, BtreeHeadersNeverReadPastThePage)
{
    const auto full = page(512, {{0, TableLeaf}, {3, 0xff}, {4, 0xff}});
    const BtreePage a(full.data(), 512, false);
    EXPECT_TRUE(a.isLeaf() && a.isTable());
    EXPECT_FALSE(a.countFits());
    EXPECT_EQ(a.pointersEnd(), a.pointersStart());
    EXPECT_EQ(a.contentStart(), kMaxPageSize); // 0 in the header
    EXPECT_EQ(a.cellPointer(300), 0u);
    EXPECT_EQ(a.freeblockSize(510), 0u);
    EXPECT_EQ(a.freeblockNext(511), 0u);

    const auto first = page(512, {{100, TableInterior}, {103, 0}, {104, 2}, {108, 0}, {111, 7}, {112, 0x01}, {113, 0xf0}});
    const BtreePage b(first.data(), 512, true);
    EXPECT_EQ(b.headerOffset(), 100u);
    EXPECT_EQ(b.headerSize(), 12u);
    EXPECT_EQ(b.rightChild(), 7u);
    EXPECT_TRUE(b.countFits());
    EXPECT_EQ(b.pointersEnd(), 116u);
    EXPECT_EQ(b.cellPointer(0), 0x01f0u);

    const BtreePage none(nullptr, 512, false);
    EXPECT_FALSE(none.isBtree());
    EXPECT_EQ(none.cellCount(), 0u);
}

TEST(PageViews, TrunkListsStopAtThePage)
{
    const auto trunk = page(512, {{3, 9}, {4, 0x7f}, {5, 0xff}, {6, 0xff}, {7, 0xff}, {11, 42}});
    const TrunkPage t(trunk.data(), 512);
    EXPECT_EQ(t.next(), 9u);
    EXPECT_EQ(t.leafCount(), 0x7fffffffu);
    EXPECT_EQ(t.maxLeaves(), 126u);
    EXPECT_EQ(t.leaf(0), 42u);
    EXPECT_EQ(t.leaf(t.maxLeaves()), 0u); // past the page

    const auto tiny = page(4, {});
    EXPECT_EQ(TrunkPage(tiny.data(), 4).maxLeaves(), 0u);
    EXPECT_EQ(TrunkPage(tiny.data(), 4).leafCount(), 0u);
}

} // namespace
