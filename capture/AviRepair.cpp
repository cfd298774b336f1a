#include "capture/AviRepair.h"

#include "common/UniqueFd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qeltv {

namespace {

using Fourcc = std::array<char, 4>;

constexpr std::uint32_t kChunkHeader_bytes = 8;
// "RIFF" size "AVIX" "LIST" size "movi": the head of every part after the first.
constexpr std::uint32_t kAvixHead_bytes = 24;
// A header list larger than this is no header that a recording wrote.
constexpr std::uint32_t kMaxHeaderList_bytes = 1U << 20;
// The fields of the headers, as offsets into their chunks' data.
constexpr std::uint32_t kAvihMicroSecPerFrame = 0;
constexpr std::uint32_t kAvihFlags = 12;
constexpr std::uint32_t kAvihTotalFrames = 16;
constexpr std::uint32_t kAvihSuggestedBufferSize = 28;
constexpr std::uint32_t kStrhType = 0;
constexpr std::uint32_t kStrhHandler = 4;
constexpr std::uint32_t kStrhScale = 20;
constexpr std::uint32_t kStrhRate = 24;
constexpr std::uint32_t kStrhLength = 32;
constexpr std::uint32_t kStrhSuggestedBufferSize = 36;
constexpr std::uint32_t kStrhMinimum_bytes = 48;
constexpr std::uint32_t kStrfVideoCompression = 16;
constexpr std::uint32_t kStrfAudioBytesPerSecond = 8;
constexpr std::uint32_t kStrfAudioBlockAlign = 12;
constexpr std::uint32_t kStrfAudioMinimum_bytes = 14;
constexpr std::uint32_t kStrfVideoMinimum_bytes = 20;
// PCM sound counts its super index durations in samples, others in chunks.
constexpr std::uint16_t kWaveFormatPcm = 1;
constexpr std::uint32_t kAvihHasIndex = 0x10;
constexpr std::uint32_t kAvihIsInterleaved = 0x100;
constexpr std::uint32_t kIndexKeyFrame = 0x10;
// An OpenDML chunk index marks a frame that is no key frame by this bit.
constexpr std::uint32_t kOdmlDeltaFrame = 0x80000000U;
constexpr std::uint32_t kIdx1Entry_bytes = 16;
constexpr std::uint32_t kOdmlChunkIndexHead_bytes = 32;
constexpr std::uint32_t kOdmlChunkEntry_bytes = 8;
constexpr std::uint32_t kOdmlSuperIndexHead_bytes = 24;
constexpr std::uint32_t kOdmlSuperEntry_bytes = 16;
// How much of a video frame is read to tell a key frame from a delta frame.
constexpr std::size_t kKeyFrameSniff_bytes = 4096;
// Chunks dropped at once while the index does not fit on the disk.
constexpr std::uint32_t kDropStep_chunks = 8;
constexpr int kProgressSteps = 100;

bool Is(const char* bytes, const char* fourcc) {
    return std::memcmp(bytes, fourcc, 4) == 0;
}

std::uint32_t Get32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint16_t Get16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

void Put32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void Put64(std::vector<unsigned char>& out, std::uint64_t value) {
    Put32(out, static_cast<std::uint32_t>(value));
    Put32(out, static_cast<std::uint32_t>(value >> 32));
}

void PutFourcc(std::vector<unsigned char>& out, const char* fourcc) {
    out.insert(out.end(), fourcc, fourcc + 4);
}

std::uint32_t Padded(std::uint32_t size) {
    return size + (size & 1);
}

// The file, read and written at offsets; every failure keeps its errno text.
class AviFile {
public:
    explicit AviFile(const std::filesystem::path& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
        if (!fd_)
            error_ = std::strerror(errno);
        struct stat st {};
        if (fd_ && ::fstat(fd_.get(), &st) == 0)
            size_ = static_cast<std::uint64_t>(st.st_size);
    }
    bool ok() const { return static_cast<bool>(fd_); }
    std::uint64_t size() const { return size_; }
    const std::string& error() const { return error_; }
    int fd() const { return fd_.get(); }

    bool read(std::uint64_t offset, void* into, std::size_t count) {
        auto* bytes = static_cast<unsigned char*>(into);
        while (count > 0) {
            const ssize_t n = ::pread(fd_.get(), bytes, count, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error_ = n < 0 ? std::strerror(errno) : "unexpected end of file";
                return false;
            }
            bytes += n;
            offset += static_cast<std::uint64_t>(n);
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }
    // errno of the failure, 0 on success.
    int write(std::uint64_t offset, const void* from, std::size_t count) {
        const auto* bytes = static_cast<const unsigned char*>(from);
        while (count > 0) {
            const ssize_t n = ::pwrite(fd_.get(), bytes, count, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error_ = std::strerror(errno);
                return errno;
            }
            bytes += n;
            offset += static_cast<std::uint64_t>(n);
            count -= static_cast<std::size_t>(n);
        }
        return 0;
    }
    bool write32(std::uint64_t offset, std::uint32_t value) {
        std::vector<unsigned char> bytes;
        Put32(bytes, value);
        return write(offset, bytes.data(), bytes.size()) == 0;
    }
    bool truncate(std::uint64_t length) {
        if (::ftruncate(fd_.get(), static_cast<off_t>(length)) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        size_ = length;
        return true;
    }
    bool sync() {
        if (::fsync(fd_.get()) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        return true;
    }
    int close() { return fd_.close(); }

private:
    UniqueFd fd_;
    std::uint64_t size_ = 0;
    std::string error_;
};

enum class VideoCodec { IntraOnly, H264, Mpeg4, Mpeg2, Vp8 };

struct Stream {
    bool video = false;
    bool audio = false;
    std::uint64_t strhData = 0;
    std::uint32_t scale = 0;
    std::uint32_t rate = 0;
    std::uint32_t suggestedBuffer = 0;
    std::uint64_t strfData = 0;
    std::uint32_t bytesPerSecond = 0;
    std::uint32_t blockAlign = 1;
    std::uint16_t formatTag = 0;
    // The placeholder (JUNK) or super index (indx) chunk in the stream's
    // header list, 0 when there is none.
    std::uint64_t superIndex = 0;
    std::uint32_t superIndexSize = 0;
    Fourcc tag{};
    VideoCodec codec = VideoCodec::IntraOnly;
    // Over the whole file.
    std::uint64_t chunks = 0;
    std::uint64_t bytes = 0;
    std::uint32_t largestChunk = 0;
};

struct Chunk {
    std::uint64_t offset = 0; // of its header
    std::uint32_t size = 0;   // of its data
    std::uint16_t stream = 0;
    bool key = false;
};

struct IndexChunk {
    std::uint64_t offset = 0;
    std::uint32_t size = 0; // header included
    std::uint16_t stream = 0;
};

struct Part {
    std::uint64_t riff = 0; // offset of "RIFF"
    std::uint64_t movi = 0; // offset of "LIST" of the movi list
    std::vector<Chunk> chunks;
    std::vector<IndexChunk> indexChunks;
    std::optional<std::uint64_t> idx1; // offset of a complete idx1 chunk
    std::uint64_t idx1End = 0;
    std::uint64_t end = 0; // where the part's content ends
};

struct Layout {
    std::uint64_t avihData = 0;
    std::uint32_t microSecPerFrame = 0;
    std::uint64_t dmlhData = 0; // 0 without an odml list
    std::vector<Stream> streams;
    std::vector<Part> parts;
};

std::optional<int> StreamNumber(const char* id) {
    if (id[0] < '0' || id[0] > '9' || id[1] < '0' || id[1] > '9')
        return std::nullopt;
    return (id[0] - '0') * 10 + (id[1] - '0');
}

VideoCodec CodecOf(const char* fourcc) {
    std::string upper(fourcc, 4);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    if (upper == "H264" || upper == "X264" || upper == "AVC1")
        return VideoCodec::H264;
    if (upper == "FMP4" || upper == "XVID" || upper == "DX50" || upper == "DIVX" ||
        upper == "MP4V" || upper == "M4S2")
        return VideoCodec::Mpeg4;
    if (upper == "MPG2" || upper == "MPEG" || upper == "MPG1")
        return VideoCodec::Mpeg2;
    if (upper == "VP80")
        return VideoCodec::Vp8;
    return VideoCodec::IntraOnly;
}

// Whether a frame starts a picture that decodes on its own, from its first
// bytes: the codecs with delta frames that the compressors offer, every frame
// of the others.
bool IsKeyFrame(VideoCodec codec, const unsigned char* data, std::size_t size) {
    if (size == 0)
        return false;
    switch (codec) {
    case VideoCodec::IntraOnly:
        return true;
    case VideoCodec::Vp8:
        return (data[0] & 1) == 0;
    case VideoCodec::H264:
    case VideoCodec::Mpeg4:
    case VideoCodec::Mpeg2:
        for (std::size_t i = 0; i + 5 < size; ++i) {
            if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1)
                continue;
            const unsigned char code = data[i + 3];
            if (codec == VideoCodec::H264) {
                const int type = code & 0x1f;
                if (type == 5 || type == 7) // an IDR slice, or the sequence parameters
                    return true;
                if (type == 1) // a slice that refers to others
                    return false;
            } else if (codec == VideoCodec::Mpeg4) {
                if (code == 0xb0 || code == 0xb3) // sequence or group of pictures
                    return true;
                if (code == 0xb6) // a picture: I when its coding type is 0
                    return (data[i + 4] >> 6) == 0;
            } else {
                if (code == 0xb3 || code == 0xb8) // sequence or group of pictures
                    return true;
                if (code == 0x00) // a picture: I when its coding type is 1
                    return ((data[i + 5] >> 3) & 7) == 1;
            }
        }
        return false;
    }
    return true;
}

// Reads the header list of the first RIFF and finds the first movi list.
bool ReadHeader(AviFile& file, Layout& layout, std::string& why) {
    unsigned char head[12];
    if (file.size() < sizeof head || !file.read(0, head, sizeof head) ||
        !Is(reinterpret_cast<char*>(head), "RIFF") ||
        !Is(reinterpret_cast<char*>(head) + 8, "AVI ")) {
        why = "not an AVI file";
        return false;
    }
    std::uint64_t at = sizeof head;
    bool haveHeader = false;
    while (at + 12 <= file.size()) {
        unsigned char chunk[12];
        if (!file.read(at, chunk, sizeof chunk))
            break;
        const char* id = reinterpret_cast<char*>(chunk);
        const std::uint32_t size = Get32(chunk + 4);
        if (Is(id, "LIST") && Is(id + 8, "movi")) {
            if (!haveHeader)
                break;
            Part first;
            first.riff = 0;
            first.movi = at;
            layout.parts.push_back(first);
            return true;
        }
        if (Is(id, "LIST") && Is(id + 8, "hdrl")) {
            if (size < 4 || size > kMaxHeaderList_bytes || at + 8 + size > file.size())
                break;
            std::vector<unsigned char> list(size - 4);
            if (!file.read(at + 12, list.data(), list.size()))
                break;
            const std::uint64_t base = at + 12;
            // Walks the chunks of one list; strl and odml lists are entered.
            std::function<void(std::size_t, std::size_t, Stream*)> walk =
                [&](std::size_t from, std::size_t to, Stream* stream) {
                    std::size_t p = from;
                    while (p + 8 <= to) {
                        const char* cid = reinterpret_cast<char*>(list.data() + p);
                        const std::uint32_t csize = Get32(list.data() + p + 4);
                        if (p + 8 + csize > to)
                            return;
                        const unsigned char* data = list.data() + p + 8;
                        if (Is(cid, "LIST") && csize >= 4) {
                            if (Is(reinterpret_cast<const char*>(data), "strl")) {
                                layout.streams.emplace_back();
                                walk(p + 12, p + 8 + csize, &layout.streams.back());
                            } else if (Is(reinterpret_cast<const char*>(data), "odml")) {
                                walk(p + 12, p + 8 + csize, nullptr);
                            }
                        } else if (Is(cid, "avih") && csize >= kAvihSuggestedBufferSize + 4) {
                            layout.avihData = base + p + 8;
                            layout.microSecPerFrame = Get32(data + kAvihMicroSecPerFrame);
                        } else if (Is(cid, "dmlh") && csize >= 4) {
                            layout.dmlhData = base + p + 8;
                        } else if (stream && Is(cid, "strh") && csize >= kStrhMinimum_bytes) {
                            stream->strhData = base + p + 8;
                            const char* type = reinterpret_cast<const char*>(data + kStrhType);
                            stream->video = Is(type, "vids");
                            stream->audio = Is(type, "auds");
                            stream->scale = Get32(data + kStrhScale);
                            stream->rate = Get32(data + kStrhRate);
                            stream->suggestedBuffer = Get32(data + kStrhSuggestedBufferSize);
                            if (stream->video)
                                stream->codec =
                                    CodecOf(reinterpret_cast<const char*>(data + kStrhHandler));
                        } else if (stream && Is(cid, "strf")) {
                            stream->strfData = base + p + 8;
                            if (stream->video && csize >= kStrfVideoMinimum_bytes &&
                                stream->codec == VideoCodec::IntraOnly)
                                stream->codec = CodecOf(
                                    reinterpret_cast<const char*>(data + kStrfVideoCompression));
                            if (stream->audio && csize >= kStrfAudioMinimum_bytes) {
                                stream->formatTag = Get16(data);
                                stream->bytesPerSecond = Get32(data + kStrfAudioBytesPerSecond);
                                stream->blockAlign =
                                    std::max<std::uint16_t>(1, Get16(data + kStrfAudioBlockAlign));
                            }
                        } else if (stream && (Is(cid, "indx") || Is(cid, "JUNK")) &&
                                   !stream->superIndex && csize >= kOdmlSuperIndexHead_bytes) {
                            stream->superIndex = base + p;
                            stream->superIndexSize = csize;
                        }
                        p += 8 + Padded(csize);
                    }
                };
            walk(0, list.size(), nullptr);
            haveHeader = layout.avihData != 0 && !layout.streams.empty();
        }
        at += 8 + Padded(size);
    }
    why = "no AVI header and movi list";
    return false;
}

// Walks every chunk after the first movi list: the frames, the index chunks
// and the later parts. Stops at the first chunk that is not complete.
void WalkChunks(AviFile& file, Layout& layout, const AviRepairProgress& progress) {
    const std::uint64_t size = file.size();
    std::uint64_t at = layout.parts.front().movi + 12;
    layout.parts.front().end = at;
    int reported = -1;
    std::vector<unsigned char> sniff(kKeyFrameSniff_bytes);
    while (at + kChunkHeader_bytes <= size) {
        Part& part = layout.parts.back();
        unsigned char head[kAvixHead_bytes];
        if (!file.read(at, head, kChunkHeader_bytes))
            break;
        const char* id = reinterpret_cast<char*>(head);
        const std::uint32_t chunkSize = Get32(head + 4);
        if (Is(id, "RIFF")) {
            if (at + kAvixHead_bytes > size || !file.read(at, head, kAvixHead_bytes) ||
                !Is(id + 8, "AVIX") || !Is(id + 12, "LIST") || !Is(id + 20, "movi"))
                break;
            Part next;
            next.riff = at;
            next.movi = at + 12;
            next.end = at + kAvixHead_bytes;
            layout.parts.push_back(next);
            at += kAvixHead_bytes;
            continue;
        }
        const std::uint64_t end = at + kChunkHeader_bytes + Padded(chunkSize);
        if (end > size)
            break;
        if (Is(id, "LIST")) {
            unsigned char form[4];
            if (chunkSize < 4 || !file.read(at + 8, form, 4))
                break;
            // A rec list groups frames: its chunks are walked like the others.
            if (Is(reinterpret_cast<char*>(form), "rec ")) {
                at += 12;
                part.end = at;
                continue;
            }
        } else if (Is(id, "idx1")) {
            part.idx1 = at;
            part.idx1End = end;
        } else if (id[0] == 'i' && id[1] == 'x' && StreamNumber(id + 2)) {
            const int number = *StreamNumber(id + 2);
            if (number < static_cast<int>(layout.streams.size()))
                part.indexChunks.push_back(
                    {at, static_cast<std::uint32_t>(end - at), static_cast<std::uint16_t>(number)});
        } else if (const auto number = StreamNumber(id)) {
            if (*number >= static_cast<int>(layout.streams.size()))
                break;
            Stream& stream = layout.streams[static_cast<std::size_t>(*number)];
            if (stream.tag[0] == 0)
                std::memcpy(stream.tag.data(), id, 4);
            Chunk chunk{at, chunkSize, static_cast<std::uint16_t>(*number), true};
            if (stream.video) {
                const std::size_t sniffed = std::min<std::size_t>(chunkSize, sniff.size());
                if (stream.codec != VideoCodec::IntraOnly && sniffed > 0 &&
                    !file.read(at + kChunkHeader_bytes, sniff.data(), sniffed))
                    break;
                chunk.key = IsKeyFrame(stream.codec, sniff.data(), sniffed);
            }
            part.chunks.push_back(chunk);
        } else if (!Is(id, "JUNK")) {
            // Bytes that are no chunk: what follows them is not trusted.
            break;
        }
        at = end;
        if (!part.idx1 || Is(id, "idx1"))
            part.end = at;
        const int percent =
            static_cast<int>(at * kProgressSteps / std::max<std::uint64_t>(1, size));
        if (progress && percent != reported) {
            reported = percent;
            progress(percent * 9 / 10); // the walk is most of the work
        }
    }
}

// The OpenDML chunk index of one stream's chunks in a part.
std::vector<unsigned char> OdmlChunkIndex(const Part& part, const Stream& stream,
                                          std::uint16_t number) {
    std::vector<unsigned char> out;
    out.push_back('i');
    out.push_back('x');
    out.push_back(static_cast<unsigned char>('0' + number / 10 % 10));
    out.push_back(static_cast<unsigned char>('0' + number % 10));
    Put32(out, 0); // size, below
    out.push_back(2);
    out.push_back(0);
    out.push_back(0); // index subtype
    out.push_back(1); // an index of chunks
    Put32(out, 0);    // entries, below
    out.insert(out.end(), stream.tag.begin(), stream.tag.end());
    Put64(out, part.riff);
    Put32(out, 0);
    std::uint32_t entries = 0;
    for (const Chunk& chunk : part.chunks) {
        if (chunk.stream != number)
            continue;
        Put32(out, static_cast<std::uint32_t>(chunk.offset + kChunkHeader_bytes - part.riff));
        Put32(out, chunk.size | (stream.video && !chunk.key ? kOdmlDeltaFrame : 0));
        ++entries;
    }
    const auto size = static_cast<std::uint32_t>(out.size() - kChunkHeader_bytes);
    std::memcpy(out.data() + 4, &size, 4);
    std::memcpy(out.data() + 12, &entries, 4);
    return out;
}

std::vector<unsigned char> Idx1(const Part& part) {
    std::vector<unsigned char> out;
    PutFourcc(out, "idx1");
    Put32(out, static_cast<std::uint32_t>(part.chunks.size() * kIdx1Entry_bytes));
    // Offsets count from the list type "movi".
    const std::uint64_t base = part.movi + 8;
    for (const Chunk& chunk : part.chunks) {
        out.push_back(static_cast<unsigned char>('0' + chunk.stream / 10 % 10));
        out.push_back(static_cast<unsigned char>('0' + chunk.stream % 10));
        out.push_back(0);
        out.push_back(0);
        Put32(out, chunk.key ? kIndexKeyFrame : 0);
        Put32(out, static_cast<std::uint32_t>(chunk.offset - base));
        Put32(out, chunk.size);
    }
    return out;
}

// The index that ends the last part: idx1 for a file of one part, OpenDML
// chunk indexes (inside its movi list) for a later part.
std::vector<unsigned char> TailIndex(Layout& layout) {
    Part& last = layout.parts.back();
    if (layout.parts.size() == 1)
        return Idx1(last);
    std::vector<unsigned char> out;
    last.indexChunks.clear();
    for (std::size_t n = 0; n < layout.streams.size(); ++n) {
        const auto number = static_cast<std::uint16_t>(n);
        if (std::none_of(last.chunks.begin(), last.chunks.end(),
                         [&](const Chunk& c) { return c.stream == number; }))
            continue;
        const auto index = OdmlChunkIndex(last, layout.streams[n], number);
        last.indexChunks.push_back(
            {last.end + out.size(), static_cast<std::uint32_t>(index.size()), number});
        out.insert(out.end(), index.begin(), index.end());
    }
    return out;
}

// Makes room for the tail index and writes it. On a full disk the last
// chunks give way to it: a shorter file that plays beats a longer one that
// does not.
bool WriteTailIndex(AviFile& file, Layout& layout, AviRepairResult& result) {
    while (true) {
        Part& last = layout.parts.back();
        if (!file.truncate(last.end))
            return false;
        const std::vector<unsigned char> index = TailIndex(layout);
        int error = 0;
        if (!index.empty()) {
            error = ::posix_fallocate(file.fd(), static_cast<off_t>(last.end),
                                      static_cast<off_t>(index.size()));
            if (error == EOPNOTSUPP || error == EINVAL)
                error = 0; // the write below finds out
            if (error == 0)
                error = file.write(last.end, index.data(), index.size());
        }
        if (error == 0) {
            // The idx1 of a file of one part follows its movi list.
            if (layout.parts.size() == 1) {
                last.idx1 = last.end;
                last.idx1End = last.end + index.size();
            }
            last.end += index.size();
            return true;
        }
        if (error != ENOSPC && error != EDQUOT) {
            result.error = std::strerror(error);
            return false;
        }
        if (last.chunks.empty()) {
            result.error = std::strerror(error);
            return false;
        }
        const std::size_t drop = std::min<std::size_t>(kDropStep_chunks, last.chunks.size());
        last.end = last.chunks[last.chunks.size() - drop].offset;
        last.chunks.resize(last.chunks.size() - drop);
        result.droppedChunks += static_cast<std::uint32_t>(drop);
    }
}

bool WriteHeaders(AviFile& file, Layout& layout) {
    // Per stream, over the whole file.
    for (Stream& stream : layout.streams)
        stream.chunks = stream.bytes = stream.largestChunk = 0;
    std::uint32_t firstPartFrames = 0;
    for (std::size_t p = 0; p < layout.parts.size(); ++p)
        for (const Chunk& chunk : layout.parts[p].chunks) {
            Stream& stream = layout.streams[chunk.stream];
            ++stream.chunks;
            stream.bytes += chunk.size;
            stream.largestChunk = std::max(stream.largestChunk, chunk.size);
            if (p == 0 && stream.video)
                ++firstPartFrames;
        }
    std::uint64_t totalFrames = 0;
    bool video = false, audio = false;
    for (const Stream& stream : layout.streams) {
        if (stream.video && !video) {
            totalFrames = stream.chunks;
            video = true;
        }
        audio = audio || stream.audio;
    }
    const auto frames32 = static_cast<std::uint32_t>(totalFrames);
    // Sizes of every part: its movi list up to its end or its idx1, the
    // RIFF list up to the next part.
    for (std::size_t p = 0; p < layout.parts.size(); ++p) {
        const Part& part = layout.parts[p];
        const std::uint64_t moviEnd = part.idx1 ? *part.idx1 : part.end;
        const std::uint64_t riffEnd = part.idx1 ? part.idx1End : part.end;
        if (!file.write32(part.movi + 4, static_cast<std::uint32_t>(moviEnd - part.movi - 8)) ||
            !file.write32(part.riff + 4, static_cast<std::uint32_t>(riffEnd - part.riff - 8)))
            return false;
    }
    // avih: the frames of the first part (the count an AVI 1.0 reader plays).
    std::uint32_t flags = 0;
    unsigned char flagBytes[4];
    if (!file.read(layout.avihData + kAvihFlags, flagBytes, 4))
        return false;
    flags = Get32(flagBytes) | kAvihHasIndex | (audio && video ? kAvihIsInterleaved : 0);
    std::uint32_t largest = 0;
    for (const Stream& stream : layout.streams)
        largest = std::max(largest, stream.largestChunk);
    if (!file.write32(layout.avihData + kAvihFlags, flags) ||
        !file.write32(layout.avihData + kAvihTotalFrames, firstPartFrames) ||
        !file.write32(layout.avihData + kAvihSuggestedBufferSize, largest))
        return false;
    if (layout.dmlhData && !file.write32(layout.dmlhData, frames32))
        return false;
    const double videoSeconds =
        static_cast<double>(totalFrames) * layout.microSecPerFrame / 1'000'000.0;
    for (std::size_t n = 0; n < layout.streams.size(); ++n) {
        Stream& stream = layout.streams[n];
        if (!stream.strhData)
            continue;
        std::uint32_t length = static_cast<std::uint32_t>(stream.chunks);
        if (stream.video) {
            length = frames32;
        } else if (stream.audio) {
            // A rate the writer only learns at the end is taken from the
            // sound's share of the recorded time.
            if (stream.bytesPerSecond == 0 && videoSeconds > 0 && stream.strfData) {
                stream.bytesPerSecond = static_cast<std::uint32_t>(stream.bytes / videoSeconds);
                if (!file.write32(stream.strfData + kStrfAudioBytesPerSecond,
                                  stream.bytesPerSecond))
                    return false;
                if (stream.scale <= 1) {
                    stream.rate = stream.bytesPerSecond / stream.blockAlign;
                    if (!file.write32(stream.strhData + kStrhRate, stream.rate))
                        return false;
                }
            }
            if (stream.bytesPerSecond > 0 && stream.scale > 0)
                length = static_cast<std::uint32_t>(
                    stream.bytes * stream.rate /
                    (static_cast<std::uint64_t>(stream.scale) * stream.bytesPerSecond));
        }
        if (!file.write32(stream.strhData + kStrhLength, length) ||
            !file.write32(stream.strhData + kStrhSuggestedBufferSize,
                          std::max(stream.suggestedBuffer, stream.largestChunk)))
            return false;
        // The super index of a file in parts: one entry per chunk index.
        if (layout.parts.size() > 1 && stream.superIndex) {
            std::vector<unsigned char> entries;
            std::uint32_t count = 0;
            const std::uint32_t room =
                (stream.superIndexSize - kOdmlSuperIndexHead_bytes) / kOdmlSuperEntry_bytes;
            for (const Part& part : layout.parts) {
                std::uint64_t duration = 0;
                for (const Chunk& chunk : part.chunks)
                    if (chunk.stream == n)
                        duration += stream.audio && stream.formatTag == kWaveFormatPcm
                                        ? chunk.size / stream.blockAlign
                                        : 1;
                for (const IndexChunk& index : part.indexChunks)
                    if (index.stream == n && count < room) {
                        Put64(entries, index.offset);
                        Put32(entries, index.size);
                        Put32(entries, static_cast<std::uint32_t>(duration));
                        ++count;
                    }
            }
            std::vector<unsigned char> head;
            PutFourcc(head, "indx");
            Put32(head, stream.superIndexSize);
            head.push_back(4);
            head.push_back(0);
            head.push_back(0); // index subtype
            head.push_back(0); // an index of indexes
            Put32(head, count);
            head.insert(head.end(), stream.tag.begin(), stream.tag.end());
            Put32(head, 0);
            Put32(head, 0);
            Put32(head, 0);
            head.insert(head.end(), entries.begin(), entries.end());
            if (file.write(stream.superIndex, head.data(), head.size()) != 0)
                return false;
        }
    }
    return true;
}

} // namespace

bool AviIsFinished(const std::filesystem::path& path) {
    AviFile file(path);
    if (!file.ok())
        return true;
    unsigned char head[12];
    if (file.size() < sizeof head || !file.read(0, head, sizeof head) ||
        !Is(reinterpret_cast<char*>(head), "RIFF") ||
        !Is(reinterpret_cast<char*>(head) + 8, "AVI "))
        return true;
    const std::uint64_t riffEnd = std::uint64_t(Get32(head + 4)) + 8;
    if (riffEnd > file.size())
        return false;
    // The first RIFF's own chunks: the header, the movi list, the index.
    std::uint64_t at = sizeof head;
    while (at + 8 <= riffEnd) {
        unsigned char chunk[8];
        if (!file.read(at, chunk, sizeof chunk))
            return false;
        if (Is(reinterpret_cast<char*>(chunk), "idx1"))
            return true;
        at += 8 + Padded(Get32(chunk + 4));
    }
    return false;
}

AviRepairResult RepairAvi(const std::filesystem::path& path, const AviRepairProgress& progress) {
    AviRepairResult result;
    if (AviIsFinished(path))
        return result;
    AviFile file(path);
    if (!file.ok()) {
        result.error = file.error();
        return result;
    }
    Layout layout;
    std::string why;
    if (!ReadHeader(file, layout, why)) {
        result.error = why;
        return result;
    }
    WalkChunks(file, layout, progress);
    // A last part of a file in parts that holds no frame is dropped whole.
    while (layout.parts.size() > 1 && layout.parts.back().chunks.empty())
        layout.parts.pop_back();
    if (layout.parts.size() > 1 && !layout.parts.front().idx1) {
        result.error = "the first part of the file has no index";
        return result;
    }
    // A file of one part gets its idx1 anew, in place of one the walk found.
    if (layout.parts.size() == 1 && layout.parts[0].idx1) {
        layout.parts[0].end = *layout.parts[0].idx1;
        layout.parts[0].idx1.reset();
    }
    if (!WriteTailIndex(file, layout, result)) {
        if (result.error.empty())
            result.error = file.error();
        return result;
    }
    if (!WriteHeaders(file, layout) || !file.sync()) {
        result.error = file.error();
        return result;
    }
    if (const int error = file.close(); error != 0) {
        result.error = std::strerror(error);
        return result;
    }
    for (const Stream& stream : layout.streams)
        if (stream.video) {
            for (const Part& part : layout.parts)
                for (const Chunk& chunk : part.chunks)
                    if (&layout.streams[chunk.stream] == &stream)
                        ++result.videoFrames;
            break;
        }
    result.repaired = true;
    if (progress)
        progress(kProgressSteps);
    return result;
}

} // namespace qeltv
