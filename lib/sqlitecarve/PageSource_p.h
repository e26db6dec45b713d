#pragma once

// The database file and its companions as pages: the header's geometry, which -wal frames are
// committed (and so the current image of each page), the -journal's page records. Pages are read
// through the mappings, or, for runs read in file order, copied into a read buffer per file.
//
// -wal: 32-byte header [magic][version][page size][checkpoint][salt-1][salt-2][checksum-1][-2],
// then frames of a 24-byte header [page][database size after a commit, else 0][salt-1][salt-2]
// [checksum-1][checksum-2] and the page; checksums chain from the header through every frame.
// -journal: [magic 8][records][nonce][initial pages][sector size][page size], padded to the
// sector, then records [page][bytes][checksum].

#include "sqlitecarve/Carver.h"

#include "Format_p.h"
#include "utility/SafeIo.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sqlcarve {

using namespace fmt;

inline void walChecksum(const uint8_t* p, size_t n, bool bigEndian, uint32_t& s0, uint32_t& s1)
{
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint32_t a, b;
        if (bigEndian) {
            a = get32(p + i);
            b = get32(p + i + 4);
        } else {
            std::memcpy(&a, p + i, 4);
            std::memcpy(&b, p + i + 4, 4);
        }
        s0 += a + s1;
        s1 += b + s0;
    }
}

// How far SQLite takes a -wal written for `pageSize`-byte pages: from the header, frames count
// while their salts and checksums chain; the first that does not ends the -wal for it.
struct WalChain {
    enum End {
        Whole,          // every frame chains
        NotAWal,        // no -wal header
        OtherPageSize,  // written for other pages: not read at all
        HeaderChecksum, // no frame is read
        OlderFrames,    // frames left from before a reset follow: ordinary
        Salt,           // a frame's salt is no generation's: damage
        Checksum        // a frame's checksum does not hold: damage
    };
    End end = Whole;
    uint32_t frames = 0;               // whole frames in the file
    uint32_t chained = 0;              // frames from the first that chain
    uint32_t lastCommit = UINT32_MAX;  // of those, the last to end a transaction
    uint32_t dbSize = 0;               // the page count that commit leaves
    // Whether frames SQLite would have applied are lost: the chain broke by damage.
    bool damaged() const { return end == OtherPageSize || end == HeaderChecksum || end == Salt || end == Checksum; }
};

inline WalChain walChain(Bytes wal, uint32_t pageSize)
{
    WalChain c;
    if (wal.size < kWalHeaderSize + kWalFrameHeaderSize) {
        c.end = wal.size >= kWalHeaderSize ? WalChain::Whole : WalChain::NotAWal;
        return c;
    }
    const WalHeader h(wal.data);
    const uint32_t magic = h.magic();
    if (magic != kWalMagicLE && magic != kWalMagicBE) {
        c.end = WalChain::NotAWal;
        return c;
    }
    if (h.pageSize() != pageSize || pageSize == 0) {
        c.end = WalChain::OtherPageSize;
        return c;
    }
    const bool bigEndian = h.bigEndianChecksums();
    const uint64_t frameSize = kWalFrameHeaderSize + pageSize;
    c.frames = uint32_t((wal.size - kWalHeaderSize) / frameSize);
    uint32_t s0 = 0, s1 = 0;
    walChecksum(wal.data, WalHeader::kChecksummed, bigEndian, s0, s1);
    if (s0 != h.checksum1() || s1 != h.checksum2()) {
        c.end = WalChain::HeaderChecksum;
        return c;
    }
    for (; c.chained < c.frames; ++c.chained) {
        const uint8_t* fp = wal.data + kWalHeaderSize + c.chained * frameSize;
        const WalFrameHeader fh(fp);
        if (fh.salt1() != h.salt1() || fh.salt2() != h.salt2()) {
            // A reset of the -wal raises the first salt by one: frames left from before it are
            // ordinary history, anything else is damage.
            const uint32_t behind = h.salt1() - fh.salt1();
            c.end = behind == 0 || behind > 0xffff ? WalChain::Salt : WalChain::OlderFrames;
            return c;
        }
        walChecksum(fp, WalFrameHeader::kChecksummed, bigEndian, s0, s1);
        walChecksum(fp + kWalFrameHeaderSize, pageSize, bigEndian, s0, s1);
        if (s0 != fh.checksum1() || s1 != fh.checksum2()) {
            c.end = WalChain::Checksum;
            return c;
        }
        if (fh.dbSizeAfterCommit()) {
            c.lastCommit = c.chained;
            c.dbSize = fh.dbSizeAfterCommit();
        }
    }
    return c;
}

enum FileId : uint8_t { kDb, kWal, kJournal };

class PageSource
{
public:
    using Warn = std::function<void(const std::string&)>;

    PageSource(Bytes db, Bytes wal, Bytes journal, Warn warn) : m_db(db), m_wal(wal), m_journal(journal), m_warn(std::move(warn)) {}

    void setWarn(Warn warn) { m_warn = std::move(warn); }

    // The files are this scan's own mappings: their pages may be handed back to the kernel, and
    // runs read in order are copied through read buffers from these descriptors.
    void useFiles(int dbFd, int walFd, int journalFd)
    {
        m_ownMappings = true;
        m_fd[kDb] = dbFd;
        m_fd[kWal] = walFd;
        m_fd[kJournal] = journalFd;
    }

    const Bytes& file(uint8_t f) const { return f == kWal ? m_wal : f == kJournal ? m_journal : m_db; }
    uint64_t totalSize() const { return m_db.size + m_wal.size + m_journal.size; }
    uint32_t pageSize() const { return m_pageSize; }
    uint32_t usable() const { return m_usable; }
    uint32_t encoding() const { return m_encoding; }
    uint32_t pageCount() const { return m_pageCount; }
    uint32_t freelistTrunk() const { return m_freelistTrunk; }
    bool pointerMaps() const { return m_pointerMaps; }
    // Whether page `pg` is one of the pointer-map pages an auto-vacuum file keeps at fixed places:
    // page 2, then one every usable/5 + 1 pages, moved past the page that holds the lock byte.
    bool pointerMapPage(uint32_t pg) const
    {
        if (!m_pointerMaps || pg < 2)
            return false;
        const uint32_t perMap = m_usable / 5 + 1;
        uint32_t map = (pg - 2) / perMap * perMap + 2;
        if (map == kLockBytePage / m_pageSize + 1)
            ++map;
        return map == pg;
    }
    uint32_t walFrames() const { return m_walFrames; }
    // Whether readHeader took the page size from the pages, the header's not reading them; and
    // whether the rest of the header still held then.
    bool headerLost() const { return m_headerLost; }
    bool headerTrusted() const { return m_headerTrusted; }
    // Whether the -wal frame holding this byte is of the current generation but not applied: it
    // follows the last commit (a -wal cut short, or copied mid-write), or damage broke the chain
    // before it.
    bool unappliedWalByte(uint64_t offset) const
    {
        if (offset < kWalHeaderSize || !m_pageSize || !m_walFrames)
            return false;
        const uint64_t frame = (offset - kWalHeaderSize) / (kWalFrameHeaderSize + m_pageSize);
        if (frame >= m_walFrames || (m_walLastCommit != UINT32_MAX && frame <= m_walLastCommit))
            return false;
        if (frame < m_walChained)
            return true;
        const WalHeader h(m_wal.data);
        const WalFrameHeader fh = frameHeader(uint32_t(frame));
        return m_walDamaged && fh.salt1() == h.salt1() && fh.salt2() == h.salt2();
    }
    // The committed frame holding the page's current image; UINT32_MAX when the file holds it.
    // The page count the header claims when the file holds fewer pages; 0 otherwise.
    uint32_t claimedPages() const { return m_claimedPages; }
    uint32_t finalFrame(uint32_t pg) const { return pg < m_finalFrame.size() ? m_finalFrame[pg] : UINT32_MAX; }
    // The last frame of the transaction a frame belongs to.
    uint32_t txnEnd(uint32_t frame) const { return frame < m_walTxnEnd.size() ? m_walTxnEnd[frame] : frame; }
    uint32_t walFramePageNumber(uint32_t frame) const { return frameHeader(frame).page(); }
    WalFrameHeader frameHeader(uint32_t frame) const
    {
        return WalFrameHeader(m_wal.data + kWalHeaderSize + uint64_t(frame) * (kWalFrameHeaderSize + m_pageSize));
    }
    const std::unordered_map<uint32_t, std::vector<uint32_t>>& framesByPage() const { return m_framesByPage; }
    const std::vector<uint64_t>& journalRecords() const { return m_journalRecords; }
    // The page number a -journal record was written for.
    uint32_t journalRecordPage(size_t i) const { return PageView(m_journal.data + m_journalRecords[i], 4).u32(0); }
    // The page's image in the first -journal record of it (the page as it was before the change).
    const uint8_t* journalPage(uint32_t pg) const
    {
        auto it = m_journalByPage.find(pg);
        return it == m_journalByPage.end() ? nullptr : m_journal.data + m_journalRecords[it->second] + 4;
    }

    // Accounts for reading [offset, offset + size) through the mapping. One read maps the whole
    // block of the page cache it falls in (on Linux 6 a file's cached blocks reach 2 MB, and a
    // fault maps all of one), so what is mapped is counted in such blocks, each once.
    void access(uint8_t file, uint64_t offset, uint64_t size)
    {
        // Only mappings made here may be released; caller buffers are left alone.
        if (!m_ownMappings || file > kJournal)
            return;
        std::vector<uint64_t>& seen = m_mapped[file];
        for (uint64_t b = offset / kMapBlock, last = (offset + std::max<uint64_t>(size, 1) - 1) / kMapBlock; b <= last; ++b) {
            if (seen.size() <= b / 64)
                seen.resize(b / 64 + 1, 0);
            if (seen[b / 64] >> (b % 64) & 1)
                continue;
            seen[b / 64] |= uint64_t(1) << (b % 64);
            m_touched += kMapBlock;
        }
        if (m_touched >= kReleaseEvery)
            releaseMappings();
    }

    // Hands the pages read through this scan's own mappings back to the kernel. Other threads may
    // be reading them: the files are only read, so a page dropped under a reader is read again.
    void releaseMappings()
    {
        m_touched = 0;
        for (std::vector<uint64_t>& seen : m_mapped)
            std::fill(seen.begin(), seen.end(), 0);
        if (!m_ownMappings)
            return;
        for (uint8_t i = kDb; i <= kJournal; ++i) {
            const Bytes& b = this->file(i);
            if (b.data && b.size)
                madvise(const_cast<uint8_t*>(b.data), b.size, MADV_DONTNEED);
        }
    }

    // Runs read in file order are copied into a buffer of this size instead of being read
    // through the mapping: a copy costs far less than mapping each page (more so in a virtual
    // machine), and one this small is still in the cache when its pages are carved.
    static constexpr uint64_t kReadAhead = 256u << 10;

    // Moves a file's read buffer so it holds [offset, offset + size). Called only by the loops
    // that read a file in order: pointers from bytesAt() stay valid until the next call.
    // `ahead`: how much of what follows the loop reads next; a page read on its own pulls in
    // only itself, not a whole buffer's worth.
    void advance(uint8_t file, uint64_t offset, uint64_t size, uint64_t ahead = kReadAhead)
    {
        if (file > kJournal || m_fd[file] < 0)
            return;
        ReadBuffer& w = m_buffer[file];
        if (offset >= w.begin && offset + size <= w.end)
            return;
        const Bytes& f = this->file(file);
        if (offset >= f.size || size > kReadAhead)
            return;
        const uint64_t begin = offset & ~(kOsPage - 1);
        const uint64_t want = std::max(size, ahead) + (offset - begin);
        const uint64_t len = std::min<uint64_t>({f.size - begin, kReadAhead, (want + kOsPage - 1) & ~(kOsPage - 1)});
        w.bytes.resize(len);
        const uint64_t got = uint64_t(std::max<int64_t>(ibrio::readAt(m_fd[file], w.bytes.data(), size_t(len), begin), 0));
        w.begin = begin;
        w.end = begin + got;
    }

    // Copies [offset, offset + size) of a file into `out` by reading its descriptor, which maps
    // nothing into this process; false when the file is not read that way or holds fewer bytes.
    // Safe from several threads at once.
    bool copyOut(uint8_t file, uint64_t offset, size_t size, std::vector<uint8_t>& out) const
    {
        if (file > kJournal || m_fd[file] < 0 || offset > this->file(file).size || size > this->file(file).size - offset)
            return false;
        out.resize(size);
        const size_t got = size_t(std::max<int64_t>(ibrio::readAt(m_fd[file], out.data(), size, offset), 0));
        // A file cut short meanwhile reads as zeros past its end, as through the mapping.
        std::memset(out.data() + got, 0, size - got);
        return true;
    }

    const uint8_t* bytesAt(uint8_t file, uint64_t offset, uint64_t size)
    {
        if (file <= kJournal) {
            const ReadBuffer& w = m_buffer[file];
            if (offset >= w.begin && offset + size <= w.end)
                return w.bytes.data() + (offset - w.begin);
        }
        access(file, offset, size);
        return this->file(file).data + offset;
    }

    const uint8_t* dbPage(uint32_t pgno)
    {
        if (pgno == 0 || uint64_t(pgno) * m_pageSize > m_db.size)
            return nullptr;
        return bytesAt(kDb, uint64_t(pgno - 1) * m_pageSize, m_pageSize);
    }
    const uint8_t* walFramePage(uint32_t frame)
    {
        return bytesAt(kWal, walFrameOffset(frame), m_pageSize);
    }
    uint64_t walFrameOffset(uint32_t frame) const
    {
        return kWalHeaderSize + uint64_t(frame) * (kWalFrameHeaderSize + m_pageSize) + kWalFrameHeaderSize;
    }
    // The page as the database reads it now: the last committed -wal frame, else the file.
    const uint8_t* finalPage(uint32_t pgno)
    {
        if (pgno < m_finalFrame.size() && m_finalFrame[pgno] != UINT32_MAX)
            return walFramePage(m_finalFrame[pgno]);
        return dbPage(pgno);
    }

    bool readHeader()
    {
        const DatabaseHeader h(m_db.data, m_db.size);
        if (m_db.size < kHeaderSize) {
            m_warn("not a SQLite database (no header)");
            return false;
        }
        uint32_t ps = h.hasMagic() ? h.pageSize() : 0;
        // A first sector wiped or overwritten leaves every page after it whole: the file is read
        // with the page size its pages show (when the header's does not read page 1), and what
        // else the header held is taken as usual.
        const bool valid = h.hasMagic() && ps >= kMinPageSize && ps <= kMaxPageSize && !(ps & (ps - 1));
        bool lost = false;
        if (!valid || m_db.size < ps || !readsAsBtreePage(m_db.data, ps, true)) {
            const uint32_t shown = pageSizeShown(m_db);
            if (!shown && !valid) {
                m_warn(h.hasMagic() ? "bad page size " + std::to_string(ps) : std::string("not a SQLite database (no header)"));
                return false;
            }
            lost = shown && shown != ps;
            ps = lost ? shown : ps;
        }
        // Where the header's page size is the one the pages show, only the magic was hit: the
        // rest of it still holds.
        const bool trusted = !lost || h.pageSize() == ps;
        m_headerLost = lost;
        m_headerTrusted = trusted;
        if (lost)
            m_warn(std::string(h.hasMagic() ? "the header's page size is damaged" : "the header is damaged (no SQLite magic)")
                   + ": read with the page size its pages show, " + std::to_string(ps) + " bytes"
                   + (trusted ? std::string() : ", as UTF-8 without reserved bytes or free-page list"));
        m_pageSize = ps;
        const uint32_t reserved = trusted ? h.reserved() : 0;
        m_usable = ps - reserved;
        if (m_usable < 480) {
            m_warn("reserved bytes leave too little of each page");
            return false;
        }
        m_encoding = trusted ? h.encoding() : uint32_t(Utf8);
        if (m_encoding < Utf8 || m_encoding > Utf16be)
            m_encoding = Utf8;
        const uint32_t fromFile = uint32_t(m_db.size / ps);
        uint32_t count = trusted ? h.pageCount() : 0;
        if (count == 0 || h.changeCounter() != h.versionValidFor())
            count = fromFile;
        if (count > fromFile) {
            m_warn("file is shorter than its header says (" + std::to_string(fromFile) + " of " + std::to_string(count) + " pages)");
            m_claimedPages = count;
        }
        // Pages past the end of the file do not exist, whatever the header claims; sizing tables
        // by the claim would let a forged header ask for gigabytes.
        m_pageCount = fromFile;
        m_freelistTrunk = trusted ? h.freelistTrunk() : 0;
        m_pointerMaps = trusted && h.largestRoot() != 0;
        return true;
    }

    // For a header lost to damage: the page size under which the file's first pages read as b-tree
    // pages (type, cell count, content start, cell pointers all in bounds); 0 when none does, as for
    // a file that was never a database. The smallest size that reads nearly as well as the best
    // wins: twice the true size reads every other page, half of it reads cells past the page end.
    static uint32_t pageSizeShown(const Bytes& db)
    {
        constexpr uint64_t kLooked = 8u << 20; // the first 8 MB (at most 4,096 pages) tell
        double share[9] = {};
        double best = 0;
        for (int k = 0; k < 9; ++k) {
            const uint32_t ps = kMinPageSize << k;
            const uint64_t pages = std::min<uint64_t>({db.size, kLooked}) / ps;
            if (pages < 2 || ps > kMaxPageSize)
                continue;
            uint64_t shown = 0;
            const uint64_t looked = std::min<uint64_t>(pages, 4096);
            for (uint64_t pg = 0; pg < looked; ++pg)
                shown += readsAsBtreePage(db.data + pg * ps, ps, pg == 0) ? 1 : 0;
            share[k] = shown >= 2 ? double(shown) / double(looked) : 0;
            best = std::max(best, share[k]);
        }
        if (best < 0.2)
            return 0;
        for (int k = 0; k < 9; ++k)
            if (share[k] >= 0.9 * best)
                return kMinPageSize << k;
        return 0;
    }
    static bool readsAsBtreePage(const uint8_t* page, uint32_t ps, bool first)
    {
        const BtreePage b(page, ps, first);
        if (!b.isBtree() || !b.countFits())
            return false;
        const uint32_t content = b.contentStart();
        if (b.cellCount() && (content > ps || content < b.pointersEnd()))
            return false;
        if (b.firstFreeblock() && (b.firstFreeblock() < b.pointersEnd() || b.firstFreeblock() + kFreeblockHeaderSize > ps))
            return false;
        for (uint32_t i = 0; i < std::min<uint32_t>(b.cellCount(), 16); ++i) {
            const uint32_t at = b.view().u16(b.pointersStart() + 2 * i);
            if (at < content || at >= ps)
                return false;
        }
        return true;
    }

    // ---- WAL -------------------------------------------------------------------------------

    void readWal()
    {
        if (m_wal.size < kWalHeaderSize + kWalFrameHeaderSize) {
            if (m_wal.size)
                m_warn("-wal too short to hold a frame; not read");
            return;
        }
        const WalChain chain = walChain(m_wal, m_pageSize);
        if (chain.end == WalChain::NotAWal) {
            scanWalAnyway();
            return;
        }
        // A -wal written with another page size cannot hold this database's pages.
        if (chain.end == WalChain::OtherPageSize) {
            m_warn("-wal page size differs from the database's; -wal ignored");
            return;
        }
        m_walFrames = chain.frames;
        m_walChained = chain.chained;
        m_walLastCommit = chain.lastCommit;
        m_walDamaged = chain.end == WalChain::Checksum || chain.end == WalChain::Salt;
        // Frames from the break on are not part of the database (an older generation or damage):
        // they are still read as old page images, and the user learns where the chain ended.
        const std::string frame = chain.chained < m_walFrames
            ? "-wal frame " + std::to_string(chain.chained + 1) + " (page " + std::to_string(frameHeader(chain.chained).page()) + ")"
            : std::string();
        if (chain.end == WalChain::HeaderChecksum)
            m_warn("-wal header checksum mismatch; every frame read as an old page");
        else if (chain.end == WalChain::Salt)
            m_warn(frame + ": salt differs from the header; it and later frames read as old pages");
        else if (chain.end == WalChain::Checksum)
            m_warn(frame + ": checksum mismatch; it and later frames read as old pages");
        const uint32_t lastCommit = chain.lastCommit;
        const uint32_t dbSize = chain.dbSize;
        m_walTxnEnd.assign(m_walFrames, UINT32_MAX);
        // Commit groups: every frame belongs to the transaction that the next commit frame ends.
        uint32_t end = UINT32_MAX;
        for (uint32_t i = m_walFrames; i-- > 0;) {
            if (frameHeader(i).dbSizeAfterCommit())
                end = i;
            m_walTxnEnd[i] = end == UINT32_MAX ? i : end;
        }
        if (dbSize > m_pageCount)
            m_pageCount = std::min<uint32_t>(dbSize, m_pageCount + m_walFrames);
        m_finalFrame.assign(size_t(m_pageCount) + 1, UINT32_MAX);
        if (lastCommit != UINT32_MAX) {
            for (uint32_t i = 0; i <= lastCommit; ++i) {
                const uint32_t pg = frameHeader(i).page();
                if (pg >= 1 && pg <= m_pageCount)
                    m_finalFrame[pg] = i;
            }
            if (dbSize)
                m_pageCount = dbSize;
        }
        // A later commit can cut pages off the end: their last images are no longer part of the
        // database, and every per-page table is sized from the page count that remains.
        if (m_finalFrame.size() > size_t(m_pageCount) + 1)
            m_finalFrame.resize(size_t(m_pageCount) + 1);
        m_framesByPage.clear();
        for (uint32_t i = 0; i < m_walFrames; ++i) {
            const uint32_t pg = frameHeader(i).page();
            if (pg >= 1 && pg <= std::max(m_pageCount, dbSize))
                m_framesByPage[pg].push_back(i);
            else if (pg > m_pageCount + m_walFrames || pg == 0)
                m_warn("-wal frame " + std::to_string(i + 1) + " names page " + std::to_string(pg) + ", which the database never had; frame ignored");
        }
    }

    // A -wal whose header was damaged still holds frames; read them as old pages.
    void scanWalAnyway()
    {
        const uint64_t frameSize = kWalFrameHeaderSize + m_pageSize;
        m_walFrames = uint32_t((m_wal.size - kWalHeaderSize) / frameSize);
        m_walTxnEnd.assign(m_walFrames, 0);
        for (uint32_t i = 0; i < m_walFrames; ++i)
            m_walTxnEnd[i] = i;
        m_warn("-wal header unreadable; frames read as old pages");
    }

    // ---- journal ---------------------------------------------------------------------------

    void readJournal()
    {
        if (m_journal.size < kJournalHeaderSize) {
            if (m_journal.size)
                m_warn("-journal too short to hold a header; not read");
            return;
        }
        const uint8_t* h = m_journal.data;
        std::vector<uint32_t> sectors;
        uint32_t pageSize = m_pageSize;
        if (std::memcmp(h, kJournalMagic, sizeof kJournalMagic) == 0) {
            const uint32_t sector = PageView(h, kJournalHeaderSize).u32(kJournalOffSectorSize);
            if (sector >= 32 && sector <= kMaxPageSize && !(sector & (sector - 1)))
                sectors.push_back(sector);
            else
                m_warn("-journal sector size " + std::to_string(sector) + " is not plausible; page records looked for at each sector size");
            const uint32_t ps = PageView(h, kJournalHeaderSize).u32(kJournalOffPageSize);
            if (ps != m_pageSize)
                m_warn("-journal page size differs from the database's; the database's is used");
        }
        // A zeroed (PERSIST) header leaves the sector size unknown: take the first that puts a
        // plausible page record right after the header.
        for (uint32_t s = 512; s <= kMaxPageSize; s *= 2)
            sectors.push_back(s);
        const uint64_t recSize = pageSize + kJournalRecordExtra;
        for (uint32_t s : sectors) {
            if (s + recSize > m_journal.size)
                continue;
            const uint32_t pg = PageView(h + s, 4).u32(0);
            const uint8_t* page = h + s + 4;
            if (pg < 1 || pg > m_pageCount + 1024)
                continue;
            const uint8_t type = page[pg == 1 ? kHeaderSize : 0];
            if (!isBtreeType(type) && !(pg == 1 && std::memcmp(page, kMagic, kMagicSize) == 0) && pg != 1)
                continue;
            m_journalStart = s;
            break;
        }
        if (!m_journalStart) {
            m_warn("-journal holds no page record; not read");
            return;
        }
        for (uint64_t off = m_journalStart; off + recSize <= m_journal.size; off += recSize) {
            const uint32_t pg = PageView(h + off, 4).u32(0);
            if (pg < 1 || pg > m_pageCount + 1024)
                break;
            m_journalRecords.push_back(off);
            m_journalByPage.emplace(pg, uint32_t(m_journalRecords.size() - 1));
        }
    }

private:
    // Mapped pages are handed back to the kernel after this many bytes of pages were brought in,
    // so a large file never sits in memory whole.
    static constexpr uint64_t kReleaseEvery = 32ull << 20;
    static constexpr uint64_t kMapBlock = 2u << 20;
    static constexpr uint64_t kOsPage = 4096;

    struct ReadBuffer {
        uint64_t begin = 0, end = 0;
        std::vector<uint8_t> bytes;
    };

    Bytes m_db, m_wal, m_journal;
    Warn m_warn;
    bool m_ownMappings = false;
    int m_fd[3] = {-1, -1, -1}; // files read in order through the read buffers
    ReadBuffer m_buffer[3];
    uint64_t m_touched = 0;
    std::vector<uint64_t> m_mapped[3]; // per file: the blocks mapped since the last release

    uint32_t m_pageSize = 0;
    uint32_t m_usable = 0;
    uint32_t m_encoding = Utf8;
    uint32_t m_pageCount = 0;
    uint32_t m_claimedPages = 0;
    uint32_t m_freelistTrunk = 0;
    bool m_pointerMaps = false;

    uint32_t m_walFrames = 0;
    uint32_t m_walChained = 0, m_walLastCommit = UINT32_MAX; // WalChain's
    bool m_headerLost = false, m_headerTrusted = true; // readHeader's
    bool m_walDamaged = false;
    std::vector<uint32_t> m_finalFrame;
    std::vector<uint32_t> m_walTxnEnd;
    std::unordered_map<uint32_t, std::vector<uint32_t>> m_framesByPage;

    uint64_t m_journalStart = 0;
    std::vector<uint64_t> m_journalRecords;
    std::unordered_multimap<uint32_t, uint32_t> m_journalByPage;
};

} // namespace sqlcarve
