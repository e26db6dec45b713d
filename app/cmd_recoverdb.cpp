#include <QFileInfo>

#include <algorithm>
#include <array>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cli.h"
#include "sqlitecarve/Carver.h"

namespace {

const char kUsage[] = "recover-db DATABASE [--wal FILE] [--journal FILE] [--json]";

// Length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when the bytes there are none:
// no overlong form, no surrogate, nothing past U+10FFFF.
size_t utf8Sequence(const unsigned char* p, size_t left)
{
    const unsigned char c = p[0];
    auto more = [p](size_t i) { return (p[i] & 0xc0) == 0x80; };
    if (c >= 0xc2 && c <= 0xdf)
        return left >= 2 && more(1) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef) {
        if (left < 3 || !more(1) || !more(2) || (c == 0xe0 && p[1] < 0xa0) || (c == 0xed && p[1] >= 0xa0))
            return 0;
        return 3;
    }
    if (c >= 0xf0 && c <= 0xf4) {
        if (left < 4 || !more(1) || !more(2) || !more(3) || (c == 0xf0 && p[1] < 0x90) || (c == 0xf4 && p[1] >= 0x90))
            return 0;
        return 4;
    }
    return 0;
}

// Text written through a pointer into room taken up front: one check per row instead of one per
// piece, and nothing cleared that is about to be written (as growing a std::string would).
class TextBuffer
{
public:
    TextBuffer() = default;
    TextBuffer(TextBuffer&& o) noexcept { swap(o); }
    TextBuffer& operator=(TextBuffer&& o) noexcept
    {
        swap(o);
        return *this;
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { std::free(m_data); }

    // Where to write at most n more bytes; commit() then says where the writing ended.
    char* room(size_t n)
    {
        if (n > m_capacity - m_size) {
            const size_t capacity = std::max(m_size + n, m_capacity * 2);
            char* data = static_cast<char*>(std::realloc(m_data, capacity));
            if (!data)
                throw std::bad_alloc();
            m_data = data;
            m_capacity = capacity;
        }
        return m_data + m_size;
    }
    void commit(char* end) { m_size = size_t(end - m_data); }
    void append(const char* text, size_t n)
    {
        char* p = room(n);
        std::memcpy(p, text, n);
        commit(p + n);
    }
    TextBuffer& operator+=(const std::string& text)
    {
        append(text.data(), text.size());
        return *this;
    }
    TextBuffer& operator+=(const char* text)
    {
        append(text, std::strlen(text));
        return *this;
    }
    TextBuffer& operator+=(char c)
    {
        append(&c, 1);
        return *this;
    }
    const char* data() const { return m_data; }
    size_t size() const { return m_size; }
    void clear() { m_size = 0; }

private:
    void swap(TextBuffer& o) noexcept
    {
        std::swap(m_data, o.m_data);
        std::swap(m_size, o.m_size);
        std::swap(m_capacity, o.m_capacity);
    }
    char* m_data = nullptr;
    size_t m_size = 0, m_capacity = 0;
};

// Bytes a JSON string of n carved bytes takes at most: "\u00XX" for each, and the quotes.
constexpr size_t jsonStringRoom(size_t n)
{
    return 6 * n + 2;
}

// A JSON string of carved bytes: invalid UTF-8 (which would make the line unreadable) becomes
// U+FFFD, control characters are escaped. Writes at most jsonStringRoom(s.size()) bytes.
char* writeJsonString(char* p, const std::string& s)
{
    static const char kHex[] = "0123456789abcdef";
    // 0: goes out as it is; 1: escaped; 2: starts a UTF-8 sequence (or is no text).
    static const auto kClass = [] {
        std::array<uint8_t, 256> c{};
        for (int i = 0; i < 256; ++i)
            c[size_t(i)] = i < 0x20 || i == '"' || i == '\\' ? 1 : i >= 0x80 ? 2 : 0;
        return c;
    }();
    *p++ = '"';
    const auto* q = reinterpret_cast<const unsigned char*>(s.data());
    const auto* const end = q + s.size();
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    auto anyZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    while (q < end) {
#if defined(__SSE2__)
        // Sixteen bytes at a time while none needs a look of its own (most text is plain ASCII):
        // stored whole, without a copy of variable length. A signed compare below 0x20 flags
        // control characters and every byte from 0x80 at once.
        if (end - q >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
            const __m128i look = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                              _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
            const unsigned mask = unsigned(_mm_movemask_epi8(look));
            if (!mask) {
                p += 16;
                q += 16;
                continue;
            }
            const int plain = __builtin_ctz(mask);
            p += plain;
            q += plain;
        } else
#endif
        // Eight bytes at a time, the same way, where the wider registers are missing or too few
        // bytes are left.
        if (end - q >= 8) {
            uint64_t w;
            std::memcpy(&w, q, 8);
            const uint64_t look = (w & kHighs) | ((w - 0x20 * kOnes) & ~w & kHighs) | anyZero(w ^ ('"' * kOnes)) | anyZero(w ^ ('\\' * kOnes));
            std::memcpy(p, &w, 8);
            if (!look) {
                p += 8;
                q += 8;
                continue;
            }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            // The plain bytes before the first that needs a look are stored already (the lowest
            // flag is always a true one: a borrow only runs upwards).
            const int plain = __builtin_ctzll(look) >> 3;
            p += plain;
            q += plain;
#endif
        }
        const unsigned char c = *q;
        if (kClass[c] == 0) {
            *p++ = char(c);
            ++q;
            continue;
        }
        if (c >= 0x80) {
            // Text in most scripts is one such sequence after another: they are taken in a run.
            do {
                const size_t k = utf8Sequence(q, size_t(end - q));
                switch (k) {
                case 4: p[3] = char(q[3]); [[fallthrough]];
                case 3: p[2] = char(q[2]); [[fallthrough]];
                case 2:
                    p[1] = char(q[1]);
                    p[0] = char(q[0]);
                    p += k;
                    q += k;
                    break;
                default:
                    std::memcpy(p, "\xEF\xBF\xBD", 3);
                    p += 3;
                    ++q;
                }
            } while (q < end && *q >= 0x80);
            continue;
        }
        *p++ = '\\';
        switch (c) {
        case '"': *p++ = '"'; break;
        case '\\': *p++ = '\\'; break;
        case '\n': *p++ = 'n'; break;
        case '\r': *p++ = 'r'; break;
        case '\t': *p++ = 't'; break;
        default:
            std::memcpy(p, "u00", 3);
            p[3] = kHex[c >> 4];
            p[4] = kHex[c & 15];
            p += 5;
        }
        ++q;
    }
    *p++ = '"';
    return p;
}

void appendJsonString(TextBuffer& out, const std::string& s)
{
    out.commit(writeJsonString(out.room(jsonStringRoom(s.size())), s));
}

char* writeHex(char* p, const std::string& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : bytes) {
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 15];
    }
    return p;
}

template <size_t N>
char* writeText(char* p, const char (&text)[N])
{
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

// Enough for any integer, and for the shortest text of any double.
constexpr size_t kNumberRoom = 32;

template <class T>
char* writeNumber(char* p, T v)
{
    return std::to_chars(p, p + kNumberRoom, v).ptr;
}

// Texts carved from a file may hold anything; on a terminal they are shown escaped.
std::string printable(const std::string& s)
{
    return cli::terminalText(QString::fromUtf8(s.data(), qsizetype(s.size()))).toUtf8().toStdString();
}

// The same, appended to `out`: printable ASCII, most of what a database holds, is its own escaped
// form and skips the round trip through UTF-16.
void appendPrintable(TextBuffer& out, const std::string& s)
{
    if (std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '\\'; }))
        out += s;
    else
        out += printable(s);
}

// {"table":...,"source":...,"page":...,"offset":...,"rowid":...,"values":[...],"lost":[...]}, and
// "kept":{"<column>":...} with the surviving start of a text or blob cut short; appended to `out`
// with its line end.
void jsonLine(const sqlcarve::CarvedRow& row, TextBuffer& out)
{
    // Each value takes at most: its text escaped (or its hex, or a number) with its comma; its
    // place in "lost"; and its kept start, escaped, with its key.
    size_t room = 128 + jsonStringRoom(row.table.size()) + 3 * kNumberRoom;
    for (const sqlcarve::Value& v : row.values)
        room += 2 * jsonStringRoom(v.bytes.size()) + 3 * kNumberRoom + 16;
    char* p = out.room(room);
    p = writeText(p, "{\"table\":");
    p = writeJsonString(p, row.table);
    p = writeText(p, ",\"source\":\"");
    const char* source = sqlcarve::sourceName(row.source);
    const size_t sourceLength = std::strlen(source);
    std::memcpy(p, source, sourceLength);
    p += sourceLength;
    p = writeText(p, "\",\"page\":");
    p = writeNumber(p, row.page);
    p = writeText(p, ",\"offset\":");
    p = writeNumber(p, row.offset);
    p = writeText(p, ",\"rowid\":");
    p = row.rowid ? writeNumber(p, *row.rowid) : writeText(p, "null");
    // A rowid the cell no longer held: found in a deleted index entry, or a guess from the row's
    // place among live cells, which slot reuse can make wrong.
    if (row.rowid && row.rowidFromIndex)
        p = writeText(p, ",\"rowidFrom\":\"index\"");
    else if (row.rowid && row.rowidInferred)
        p = writeText(p, ",\"rowidFrom\":\"position\"");
    if (row.mayBeLive)
        p = writeText(p, ",\"mayBeLive\":true");
    if (row.unapplied)
        p = writeText(p, ",\"unapplied\":true");
    p = writeText(p, ",\"values\":[");
    bool anyLost = false, anyKept = false;
    for (size_t i = 0; i < row.values.size(); ++i) {
        const sqlcarve::Value& v = row.values[i];
        if (i)
            *p++ = ',';
        switch (v.kind) {
        case sqlcarve::Value::Kind::Null:
        case sqlcarve::Value::Kind::Lost:
            p = writeText(p, "null");
            anyLost = anyLost || v.isLost();
            anyKept = anyKept || (v.isLost() && !v.bytes.empty());
            break;
        case sqlcarve::Value::Kind::Integer:
            p = writeNumber(p, v.integer);
            break;
        case sqlcarve::Value::Kind::Real:
            p = std::isfinite(v.real) ? writeNumber(p, v.real) : writeText(p, "null");
            break;
        case sqlcarve::Value::Kind::Text:
            p = writeJsonString(p, v.bytes);
            break;
        case sqlcarve::Value::Kind::Blob:
            p = writeText(p, "{\"hex\":\"");
            p = writeHex(p, v.bytes);
            p = writeText(p, "\"}");
            break;
        }
    }
    p = writeText(p, "],\"lost\":[");
    bool first = true;
    for (size_t i = 0; anyLost && i < row.values.size(); ++i)
        if (row.values[i].isLost()) {
            if (!first)
                *p++ = ',';
            first = false;
            p = writeNumber(p, i);
        }
    *p++ = ']';
    if (anyKept) {
        p = writeText(p, ",\"kept\":{");
        first = true;
        for (size_t i = 0; i < row.values.size(); ++i) {
            const sqlcarve::Value& v = row.values[i];
            if (!v.isLost() || v.bytes.empty())
                continue;
            p = first ? writeText(p, "\"") : writeText(p, ",\"");
            first = false;
            p = writeNumber(p, i);
            p = writeText(p, "\":");
            if (v.prefixOf == sqlcarve::Value::Kind::Text) {
                p = writeJsonString(p, v.bytes);
            } else {
                p = writeText(p, "{\"hex\":\"");
                p = writeHex(p, v.bytes);
                p = writeText(p, "\"}");
            }
        }
        *p++ = '}';
    }
    p = writeText(p, "}\n");
    out.commit(p);
}

// Turns rows into text on two threads of its own, a batch at a time, and writes the batches in
// the order the rows came: a few batches ahead of the writing at most, so memory stays bounded
// however many rows come.
class RowWriter
{
public:
    // Appends a row's text to `out`, after the line naming its table's columns when `header`.
    // Called from several threads at once: it may only read what does not change.
    using Format = std::function<void(const sqlcarve::CarvedRow& row, bool header, TextBuffer& out)>;

    explicit RowWriter(Format format) : m_format(std::move(format))
    {
        for (std::thread& t : m_threads)
            t = std::thread([this] { run(); });
    }
    ~RowWriter() { finish(); }

    // Where the next row goes: add() then takes it as it stands, without copying.
    sqlcarve::CarvedRow& room()
    {
        if (m_filled == m_filling.rows.size())
            m_filling.rows.emplace_back();
        m_roomGiven = true;
        return m_filling.rows[m_filled];
    }

    void add(const sqlcarve::CarvedRow& row)
    {
        m_filling.header.resize(m_filled + 1);
        // Rows of one table mostly come together.
        if (row.table == m_lastTable) {
            m_filling.header[m_filled] = false;
        } else {
            m_filling.header[m_filled] = m_named.insert(row.table).second;
            m_lastTable = row.table;
        }
        // A row the carver wrote into room() is in place already. Others are assigned into
        // the room of batches already written: their strings keep their capacity, so copying
        // a row seldom allocates.
        const bool inPlace = m_roomGiven && m_filled < m_filling.rows.size() && &row == &m_filling.rows[m_filled];
        m_roomGiven = false;
        if (!inPlace) {
            if (m_filled < m_filling.rows.size())
                m_filling.rows[m_filled] = row;
            else
                m_filling.rows.push_back(row);
        }
        if (++m_filled == kBatch)
            send();
    }
    void finish()
    {
        if (!m_threads[0].joinable())
            return;
        send();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_ready.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }

private:
    static constexpr size_t kBatch = 2048;
    static constexpr uint64_t kAhead = 6;

    struct Batch {
        std::vector<sqlcarve::CarvedRow> rows;
        std::vector<char> header;
        size_t count = 0;
        uint64_t seq = 0;
        TextBuffer text;
    };

    void send()
    {
        if (!m_filled)
            return;
        m_filling.count = m_filled;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [this] { return m_sent - m_written < kAhead; });
        m_filling.seq = m_sent++;
        m_todo.push_back(std::move(m_filling));
        m_filling = Batch();
        if (!m_spare.empty()) {
            m_filling = std::move(m_spare.back());
            m_spare.pop_back();
        }
        lock.unlock();
        m_filled = 0;
        m_ready.notify_one();
    }
    void run()
    {
        for (;;) {
            Batch batch;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_ready.wait(lock, [this] { return m_done || !m_todo.empty(); });
                if (m_todo.empty())
                    return;
                batch = std::move(m_todo.front());
                m_todo.pop_front();
            }
            batch.text.clear();
            for (size_t i = 0; i < batch.count; ++i)
                m_format(batch.rows[i], batch.header[i] != 0, batch.text);
            std::lock_guard<std::mutex> lock(m_mutex);
            const uint64_t seq = batch.seq;
            m_formatted.emplace(seq, std::move(batch));
            // Whoever finishes the next batch due writes it, and any done after it.
            for (auto it = m_formatted.find(m_written); it != m_formatted.end(); it = m_formatted.find(m_written)) {
                // After a stop signal nothing more is written: a slow terminal would go on for minutes.
                if (!cli::interrupted())
                    std::fwrite(it->second.text.data(), 1, it->second.text.size(), stdout);
                m_spare.push_back(std::move(it->second));
                m_formatted.erase(it);
                ++m_written;
            }
            m_room.notify_one();
        }
    }

    Format m_format;
    Batch m_filling;
    size_t m_filled = 0;
    bool m_roomGiven = false; // room() handed out the next row's place
    std::set<std::string> m_named; // tables whose columns went out already
    std::string m_lastTable;
    std::deque<Batch> m_todo;
    std::map<uint64_t, Batch> m_formatted; // formatted, waiting for the batches before them
    std::vector<Batch> m_spare;            // written batches, whose room is used again
    uint64_t m_sent = 0, m_written = 0;
    std::mutex m_mutex;
    std::condition_variable m_ready, m_room;
    bool m_done = false;
    std::thread m_threads[2];
};

// table  source  page P  offset O  rowid R, then the values on a line of their own; appended to
// `out` with its line end.
void textLine(const sqlcarve::CarvedRow& row, TextBuffer& out)
{
    char number[kNumberRoom];
    auto appendNumber = [&](auto v) { out.append(number, size_t(writeNumber(number, v) - number)); };
    appendPrintable(out, row.table);
    out += "  ";
    out += sqlcarve::sourceName(row.source);
    out += "  page ";
    appendNumber(row.page);
    out += "  offset ";
    appendNumber(row.offset);
    out += "  rowid ";
    if (row.rowid)
        appendNumber(*row.rowid);
    else
        out += '?';
    if (row.rowid && row.rowidFromIndex)
        out += " (from an index entry)";
    else if (row.rowid && row.rowidInferred)
        out += " (by its place)";
    if (row.mayBeLive)
        out += "  (may be live)";
    if (row.unapplied)
        out += "  (never applied)";
    out += "\n   ";
    for (size_t i = 0; i < row.values.size(); ++i) {
        const sqlcarve::Value& v = row.values[i];
        out += i ? " | " : " ";
        switch (v.kind) {
        case sqlcarve::Value::Kind::Null: out += "NULL"; break;
        case sqlcarve::Value::Kind::Lost: out += "(lost)"; break;
        case sqlcarve::Value::Kind::Integer: appendNumber(v.integer); break;
        case sqlcarve::Value::Kind::Real: appendNumber(v.real); break;
        case sqlcarve::Value::Kind::Text: appendPrintable(out, v.bytes); break;
        case sqlcarve::Value::Kind::Blob:
            out += "x'";
            out.commit(writeHex(out.room(2 * v.bytes.size()), v.bytes));
            out += '\'';
            break;
        }
    }
    out += '\n';
}

int runRecoverDb(QStringList args)
{
    QString wal, journal;
    bool missing = false;
    const bool haveWal = cli::takeOption(args, QStringLiteral("--wal"), &wal, &missing);
    const bool haveJournal = cli::takeOption(args, QStringLiteral("--journal"), &journal, &missing);
    const bool json = cli::takeFlag(args, QStringLiteral("--json"));
    if (missing)
        return cli::usageError(kUsage, QStringLiteral("an option needs a FILE"));
    if (cli::rejectUnknownOptions(args, kUsage))
        return cli::Usage;
    if (args.size() != 1)
        return cli::usageError(kUsage);
    const QString database = args.first();
    const QString given[] = {database, wal, journal};
    for (const QString& f : given) {
        if ((f.isEmpty() && &f != &given[0]) || QFileInfo(f).isFile())
            continue;
        // A folder given for a file is a different mistake from a misspelt name.
        cli::printError(QFileInfo(f).exists() ? QStringLiteral("%1: not a file").arg(f) : QStringLiteral("%1: no such file").arg(f));
        return cli::Failure;
    }

    cli::TerminalProgress bar(QStringLiteral("Scanning"));
    bar.initRange(1000);
    double reported = 0;
    sqlcarve::Options opt;
    if (haveWal)
        opt.walPath = wal.toStdString();
    if (haveJournal)
        opt.journalPath = journal.toStdString();
    opt.progress = [&](double done, double total) {
        const double now = total > 0 ? done / total * 1000 : 0;
        const bool go = bar.progress(now - reported);
        reported = now;
        return go;
    };
    // Each table's column names go out before its first row: a line of their own in JSON
    // ({"table":...,"columns":[...]}), a header in text.
    std::map<std::string, std::vector<std::string>> columns;
    opt.onTables = [&](const std::vector<sqlcarve::Table>& tables) {
        for (const sqlcarve::Table& t : tables)
            for (const sqlcarve::Column& c : t.columns)
                columns[t.name].push_back(c.name);
    };
    static char outBuffer[1 << 20];
    if (!isatty(fileno(stdout)))
        std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer); // a terminal keeps its line buffering
    // Rows arrive once the scan is over; they are written on a thread of their own, so turning
    // them into text overlaps the carver's decoding of the next ones.
    auto format = [&](const sqlcarve::CarvedRow& row, bool header, TextBuffer& out) {
        if (header) {
            const auto found = columns.find(row.table);
            static const std::vector<std::string> kNone;
            const std::vector<std::string>& names = found == columns.end() ? kNone : found->second;
            if (json) {
                out += "{\"table\":";
                appendJsonString(out, row.table);
                out += ",\"columns\":[";
                for (size_t i = 0; i < names.size(); ++i) {
                    out += i ? "," : "";
                    appendJsonString(out, names[i]);
                }
                out += "]}\n";
            } else {
                out += "columns of " + printable(row.table) + ":";
                for (size_t i = 0; i < names.size(); ++i)
                    out += (i ? " | " : " ") + printable(names[i]);
                out += '\n';
            }
        }
        if (json) {
            jsonLine(row, out);
        } else {
            textLine(row, out);
        }
    };
    RowWriter writer(format);
    uint64_t orphans = 0, mayBeLive = 0, unapplied = 0;
    opt.onRow = [&](const sqlcarve::CarvedRow& row) {
        orphans += row.source == sqlcarve::Source::Orphan;
        mayBeLive += row.mayBeLive && row.source != sqlcarve::Source::Orphan;
        unapplied += row.unapplied && !row.mayBeLive;
        writer.add(row);
    };
    opt.rowRoom = [&]() -> sqlcarve::CarvedRow& { return writer.room(); };
    const sqlcarve::Result result = sqlcarve::carveFile(database.toStdString(), opt);
    writer.finish();
    bar.finish();
    if (result.cancelled || cli::interrupted()) {
        std::fflush(stdout);
        cli::printError(QStringLiteral("stopped: the rows printed are those found until then"));
        return cli::cancelledExitCode();
    }
    if (!result.ok) {
        cli::printError(QStringLiteral("%1: not a SQLite database").arg(database));
        return cli::Failure;
    }
    for (const std::string& w : result.warnings)
        std::fprintf(stderr, "ibreader: %s: %s\n", cli::terminalText(database).toUtf8().constData(), printable(w).c_str());
    QStringList skipped;
    for (const std::string& u : result.unread)
        skipped << QString::fromUtf8(u.c_str());
    if (!json)
        std::fprintf(stderr, "%llu deleted records recovered\n", static_cast<unsigned long long>(result.rowCount - orphans - mayBeLive - unapplied));
    // Their pages belong to no tree only because the file is damaged: no one can say they were deleted.
    if (!json && orphans)
        std::fprintf(stderr, "%llu records from pages no tree reaches (source \"orphan\"): live or deleted, the damaged file does not say\n",
                     static_cast<unsigned long long>(orphans));
    if (!json && mayBeLive)
        std::fprintf(stderr, "%llu records of rowids whose page the damaged tree lost (marked \"may be live\"): live or deleted, the file does not say\n",
                     static_cast<unsigned long long>(mayBeLive));
    if (!json && unapplied)
        std::fprintf(stderr, "%llu records from -wal frames SQLite does not apply (marked \"never applied\"): after its last commit or past damage, live or deleted the file does not say\n",
                     static_cast<unsigned long long>(unapplied));
    return cli::reportSkipped(skipped);
}

// The database and every companion file SQLite or a later scan could take for its own.
QStringList recoverDbEvidence(QStringList args)
{
    QStringList files = cli::evidenceArguments(args, {}, {QStringLiteral("--wal"), QStringLiteral("--journal")});
    const QStringList given = files;
    for (const QString& f : given)
        files << f + QStringLiteral("-wal") << f + QStringLiteral("-shm") << f + QStringLiteral("-journal");
    return files;
}

const cli::Registrar recoverDbCommand{{"recover-db", kUsage, "print the deleted records still inside a SQLite database",
                                        &runRecoverDb, &recoverDbEvidence, false}};

} // namespace
