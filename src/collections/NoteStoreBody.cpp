#include "NoteStoreBody.h"

#include <QByteArrayView>

#include <vector>

#include <zlib.h>

// The protobuf reader is written here rather than generated: Debian has no kept-up library that
// reads protobuf without a compiled schema, and the few fields a note's text needs do not
// justify a code generator in the build.
//
// Wire format (each field: key varint = number << 3 | wire type, then the value):
//   wire type  value
//   0          varint, at most 10 bytes
//   1          8 bytes
//   2          varint length, then that many bytes (strings, embedded messages)
//   5          4 bytes
//   3, 4       groups: never written by the devices, refused
//
// Fields read (the names of the public write-ups of the format):
//   NoteStoreProto   2 document
//   Document         3 note
//   Note             2 note_text (UTF-8), 5 attribute_run (repeated)
//   AttributeRun     1 length (in UTF-16 units of note_text), 2 paragraph_style, 12 attachment_info
//   ParagraphStyle   1 style_type (100 dotted, 101 dashed, 102 numbered list, 103 checklist),
//                    4 indent_amount, 5 checklist
//   Checklist        2 done
//   AttachmentInfo   1 attachment_identifier, 2 type_uti
// Every other field is skipped. The reader walks that fixed path and never recurses, so
// nesting depth costs nothing.

namespace notestore {

namespace {

enum WireType { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5 };
const int kMaxVarintBytes = 10;

const quint32 kRootDocument = 2;
const quint32 kDocumentNote = 3;
const quint32 kNoteText = 2;
const quint32 kNoteAttributeRun = 5;
const quint32 kRunLength = 1;
const quint32 kRunParagraphStyle = 2;
const quint32 kRunAttachmentInfo = 12;
const quint32 kStyleType = 1;
const quint32 kStyleIndent = 4;
const quint32 kStyleChecklist = 5;
const quint32 kChecklistDone = 2;
const quint32 kAttachmentIdentifier = 1;
const quint32 kAttachmentTypeUti = 2;
const quint64 kDottedListStyleType = 100;
const quint64 kDashedListStyleType = 101;
const quint64 kNumberedListStyleType = 102;
const quint64 kChecklistStyleType = 103;
// Deeper indents are shown as this one: the amount is the writer's word, and the text must stay
// the size of the note.
const int kMaxIndent = 8;

const char16_t kAttachmentChar = u'\uFFFC';
// Runs kept for their attributes; a real note has a few thousand. Beyond, the text reads plain.
const size_t kMaxRuns = 1 << 20;

struct Field {
    quint32 number = 0;
    int wireType = 0;
    quint64 varint = 0;    // wire type 0
    QByteArrayView bytes; // wire type 2
};

// Bounds-checked reads over one message; a read past the end or a refused wire type fails and
// leaves the cursor failed.
class Cursor
{
public:
    explicit Cursor(QByteArrayView data) : m_data(data) {}

    bool atEnd() const { return m_pos >= m_data.size(); }
    qsizetype offset() const { return m_pos; }

    bool readVarint(quint64* value)
    {
        quint64 result = 0;
        for (int i = 0; i < kMaxVarintBytes; ++i) {
            if (atEnd())
                return false;
            const quint8 byte = quint8(m_data.at(m_pos++));
            result |= quint64(byte & 0x7F) << (7 * i);
            if (!(byte & 0x80)) {
                *value = result;
                return true;
            }
        }
        return false;
    }

    bool skip(quint64 count)
    {
        if (count > quint64(m_data.size() - m_pos))
            return false;
        m_pos += qsizetype(count);
        return true;
    }

    bool readField(Field* field)
    {
        quint64 key = 0;
        if (!readVarint(&key) || (key >> 3) == 0 || (key >> 3) > 0x1FFFFFFF)
            return false;
        field->number = quint32(key >> 3);
        field->wireType = int(key & 7);
        switch (field->wireType) {
        case kVarint:
            return readVarint(&field->varint);
        case kFixed64:
            return skip(8);
        case kFixed32:
            return skip(4);
        case kLengthDelimited: {
            quint64 length = 0;
            const bool ok = readVarint(&length) && length <= quint64(m_data.size() - m_pos);
            if (ok) {
                field->bytes = m_data.sliced(m_pos, qsizetype(length));
                m_pos += qsizetype(length);
            }
            return ok;
        }
        default:
            return false;
        }
    }

private:
    QByteArrayView m_data;
    qsizetype m_pos = 0;
};

// Calls `visit` with every field of `message`; false when the message is malformed.
template <typename Visit>
bool forEachField(QByteArrayView message, Visit visit)
{
    Cursor cursor(message);
    Field field;
    while (!cursor.atEnd()) {
        if (!cursor.readField(&field))
            return false;
        visit(field);
    }
    return true;
}

// The last length-delimited field `number` of `message` (protobuf: the last one wins).
bool embedded(QByteArrayView message, quint32 number, QByteArrayView* out, bool* found)
{
    *found = false;
    return forEachField(message, [&](const Field& f) {
        if (f.number == number && f.wireType == kLengthDelimited) {
            *out = f.bytes;
            *found = true;
        }
    });
}

// A stretch of the text that carries what the plain reading shows: a list or checklist
// paragraph, or an attachment. Runs without either are not kept.
struct Run {
    qsizetype start = 0;
    qsizetype end = 0;
    quint64 styleType = 0; // 0: none of the lists
    int indent = 0;
    bool checklist = false;
    bool done = false;
    QString identifier;
    QString typeUti;
};

// Malformed sub-messages of a run lose their attribute, not the note: the text is still good.
Run readRun(QByteArrayView message, qsizetype start, quint64* length)
{
    Run run;
    *length = 0;
    forEachField(message, [&](const Field& f) {
        if (f.number == kRunLength && f.wireType == kVarint) {
            *length = f.varint;
        } else if (f.number == kRunParagraphStyle && f.wireType == kLengthDelimited) {
            forEachField(f.bytes, [&](const Field& s) {
                if (s.number == kStyleType && s.wireType == kVarint) {
                    if (s.varint >= kDottedListStyleType && s.varint <= kNumberedListStyleType)
                        run.styleType = s.varint;
                    run.checklist = run.checklist || s.varint == kChecklistStyleType;
                }
                if (s.number == kStyleIndent && s.wireType == kVarint)
                    run.indent = int(qMin<quint64>(s.varint, kMaxIndent));
                if (s.number == kStyleChecklist && s.wireType == kLengthDelimited) {
                    run.checklist = true;
                    forEachField(s.bytes, [&](const Field& c) {
                        if (c.number == kChecklistDone && c.wireType == kVarint)
                            run.done = c.varint != 0;
                    });
                }
            });
        } else if (f.number == kRunAttachmentInfo && f.wireType == kLengthDelimited) {
            forEachField(f.bytes, [&](const Field& a) {
                if (a.number == kAttachmentIdentifier && a.wireType == kLengthDelimited)
                    run.identifier = QString::fromUtf8(a.bytes);
                if (a.number == kAttachmentTypeUti && a.wireType == kLengthDelimited)
                    run.typeUti = QString::fromUtf8(a.bytes);
            });
        }
    });
    run.start = start;
    return run;
}

// "  " per indent, then "[ ] ", "[x] ", "• ", "- " or "3. ". Numbers count the items of one
// list at one indent; an item outside the list, or less indented, starts the count again.
QString linePrefix(const Run& run, std::vector<int>* numbers)
{
    if (!run.checklist && run.styleType == 0) {
        numbers->assign(numbers->size(), 0);
        return QString();
    }
    QString prefix(run.indent * 2, QLatin1Char(' '));
    for (size_t deeper = size_t(run.indent) + 1; deeper < numbers->size(); ++deeper)
        (*numbers)[deeper] = 0;
    int& number = (*numbers)[size_t(run.indent)];
    number = run.styleType == kNumberedListStyleType && !run.checklist ? number + 1 : 0;
    if (run.checklist)
        return prefix + (run.done ? QLatin1String("[x] ") : QLatin1String("[ ] "));
    if (run.styleType == kDottedListStyleType)
        return prefix + QStringLiteral("\u2022 ");
    if (run.styleType == kDashedListStyleType)
        return prefix + QLatin1String("- ");
    return prefix + QString::number(number) + QLatin1String(". ");
}

QString render(const QString& text, const std::vector<Run>& runs, const AttachmentTypes* types)
{
    QString out;
    out.reserve(text.size());
    std::vector<int> numbers(kMaxIndent + 1, 0);
    const Run plain;
    size_t r = 0;
    bool lineStart = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        while (r < runs.size() && runs[r].end <= i)
            ++r;
        const Run* run = r < runs.size() && runs[r].start <= i ? &runs[r] : nullptr;
        const QChar c = text.at(i);
        if (lineStart)
            out += linePrefix(run ? *run : plain, &numbers);
        lineStart = c == QLatin1Char('\n');
        if (c == QChar(kAttachmentChar)) {
            QString type = run ? run->typeUti : QString();
            if (type.isEmpty() && run && types)
                type = types->value(run->identifier);
            out += type.isEmpty() ? QStringLiteral("[attachment]") : QStringLiteral("[attachment: %1]").arg(type);
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

QByteArray inflateBody(const QByteArray& compressed, QString* error, qsizetype cap)
{
    z_stream stream{};
    // 15 + 32: largest window, gzip or zlib header detected.
    if (inflateInit2(&stream, 15 + 32) != Z_OK) {
        *error = QStringLiteral("zlib does not start");
        return QByteArray();
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.constData()));
    stream.avail_in = uInt(compressed.size()); // an SQLite value is below 2^31 bytes
    QByteArray out;
    char chunk[64 * 1024];
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof(chunk);
        rc = inflate(&stream, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END)
            break;
        const qsizetype produced = qsizetype(sizeof(chunk) - stream.avail_out);
        if (produced > cap - out.size()) {
            *error = QStringLiteral("more than %1 bytes once decompressed").arg(cap);
            inflateEnd(&stream);
            return QByteArray();
        }
        out.append(chunk, produced);
    }
    if (rc != Z_STREAM_END) {
        // Z_BUF_ERROR: the input ended before the stream did.
        *error = rc == Z_BUF_ERROR ? QStringLiteral("compressed stream truncated")
                                   : QStringLiteral("compressed stream corrupt (%1)")
                                         .arg(QString::fromLatin1(stream.msg ? stream.msg : "zlib error"));
        inflateEnd(&stream);
        return QByteArray();
    }
    inflateEnd(&stream);
    return out;
}

QString noteText(const QByteArray& payload, QString* error, const AttachmentTypes* types)
{
    QByteArrayView document, note, text;
    bool found = false;
    if (!embedded(payload, kRootDocument, &document, &found) || !found
        || !embedded(document, kDocumentNote, &note, &found) || !found) {
        *error = QStringLiteral("not a note (no document)");
        return QString();
    }
    bool hasText = false;
    const bool wellFormed = forEachField(note, [&](const Field& f) {
        if (f.wireType == kLengthDelimited && f.number == kNoteText) {
            text = f.bytes;
            hasText = true;
        }
    });
    if (!wellFormed || !hasText) {
        *error = wellFormed ? QStringLiteral("not a note (no text)") : QStringLiteral("note message malformed");
        return QString();
    }
    // Runs count UTF-16 units, so the text is decoded before they are read (a second pass: the
    // text need not come first).
    const QString plain = QString::fromUtf8(text);
    std::vector<Run> runs;
    qsizetype position = 0;
    forEachField(note, [&](const Field& f) {
        if (f.wireType != kLengthDelimited || f.number != kNoteAttributeRun || position >= plain.size())
            return;
        quint64 length = 0;
        Run run = readRun(f.bytes, position, &length);
        position += qsizetype(qMin<quint64>(length, quint64(plain.size() - position)));
        run.end = position;
        const bool shown = run.checklist || run.styleType != 0 || !run.typeUti.isEmpty() || !run.identifier.isEmpty();
        if (run.end > run.start && shown && runs.size() < kMaxRuns)
            runs.push_back(std::move(run));
    });
    return render(plain, runs, types);
}

QString bodyText(const QByteArray& compressed, QString* error, const AttachmentTypes* types)
{
    const QByteArray payload = inflateBody(compressed, error);
    return payload.isEmpty() ? QString() : noteText(payload, error, types);
}

} // namespace notestore
