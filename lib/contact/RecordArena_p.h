#pragma once

// Storage for the C records a reader hands out: every struct and every text lives here until
// clear(), so the pointers inside the records stay valid between loads.

#include <QByteArray>

#include <deque>
#include <memory>
#include <vector>

namespace contactdb {

class RecordArena
{
public:
    template <class T> T* make()
    {
        auto box = std::make_unique<Box<T>>();
        T* p = &box->value;
        m_boxes.push_back(std::move(box));
        return p;
    }

    // Null for a null array (SQL NULL), a NUL-terminated copy otherwise.
    const char* text(const QByteArray& utf8)
    {
        if (utf8.isNull())
            return nullptr;
        m_bytes.push_back(utf8);
        return m_bytes.back().constData();
    }
    const unsigned char* bytes(const QByteArray& data)
    {
        m_bytes.push_back(data);
        return reinterpret_cast<const unsigned char*>(m_bytes.back().constData());
    }

    void clear()
    {
        m_boxes.clear();
        m_bytes.clear();
    }

private:
    struct BoxBase {
        virtual ~BoxBase() = default;
    };
    template <class T> struct Box : BoxBase {
        T value{};
    };
    std::vector<std::unique_ptr<BoxBase>> m_boxes;
    std::deque<QByteArray> m_bytes; // a deque never moves its elements, so constData() stays put
};

} // namespace contactdb
