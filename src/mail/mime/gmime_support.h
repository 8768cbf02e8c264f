#pragma once
// GMime objects owned the C++ way, and a stream over bytes that GMime must not copy.
#include <gmime/gmime.h>

#include <memory>
#include <string_view>

namespace korv::mail {

struct Unref {
    void operator()(void* p) const {
        if (p) g_object_unref(p);
    }
};
template <class T>
using GPtr = std::unique_ptr<T, Unref>;

// A read-only GMime stream over bytes that outlive it, without copying them. Every object made
// from the stream (a parsed message and its parts) must be gone before this is.
class BorrowedStream {
  public:
    explicit BorrowedStream(std::string_view bytes) {
        if (bytes.empty() || bytes.size() > G_MAXUINT) {
            stream_.reset(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
            return;
        }
        // The array only points at the bytes: the stream never writes, and never frees them.
        array_ = g_byte_array_new_take(reinterpret_cast<guint8*>(const_cast<char*>(bytes.data())),
                                       bytes.size());
        stream_.reset(g_mime_stream_mem_new_with_byte_array(array_));
        g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream_.get()), FALSE);
    }
    ~BorrowedStream() {
        stream_.reset();
        if (array_) g_byte_array_free(array_, FALSE);
    }
    BorrowedStream(const BorrowedStream&) = delete;
    BorrowedStream& operator=(const BorrowedStream&) = delete;
    GMimeStream* get() const { return stream_.get(); }

  private:
    GByteArray* array_ = nullptr;
    GPtr<GMimeStream> stream_;
};

}  // namespace korv::mail
