#include "host/rtl/Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "host/rtl/Format.h"

namespace zan {

namespace {

std::string OSErrorText(int error) {
    char buffer[256];
    // The GNU variant answers a pointer to the text (not always into buffer).
    return strerror_r(error, buffer, sizeof buffer);
}

// Where a seek lands; raises EStreamError when the target is before the start or overflows.
int64_t SeekTarget(int64_t position, int64_t size, int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position : size;
    int64_t target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0)
        throw EStreamError(Format("Invalid stream position (%d)", offset));
    return target;
}

// The byte count that can move at position within size (0 when position is at or past it).
int32_t Available(int64_t position, int64_t size, int32_t count) {
    if (count <= 0 || position < 0 || position >= size) return 0;
    return static_cast<int32_t>(std::min<int64_t>(count, size - position));
}

// position + count, or -1 when that overflows.
int64_t EndOf(int64_t position, int32_t count) {
    int64_t end = 0;
    return __builtin_add_overflow(position, static_cast<int64_t>(count), &end) ? -1 : end;
}

} // namespace

// ---- TStream --------------------------------------------------------------------------------

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::GetSize() {
    int64_t pos = Seek(0, soCurrent);
    int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

void TStream::SetSize(int64_t) {
    throw EStreamError("Stream size cannot be changed");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.GetSize();
    }
    if (count < 0) return 0;
    const int64_t total = count;
    std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(count, 0xF000)));
    while (count > 0) {
        auto n =
            static_cast<int32_t>(std::min<int64_t>(count, static_cast<int64_t>(buffer.size())));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        count -= n;
    }
    return total;
}

// ---- TFileStream ----------------------------------------------------------------------------

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : FFileName(fileName) {
    const bool create = (mode & fmCreate) == fmCreate;
    int flags = O_CLOEXEC;
    int error = 0;
    if (create) {
        flags |= O_RDWR | O_CREAT | O_TRUNC;
    } else {
        switch (mode & 3) {
        case fmOpenRead:
            flags |= O_RDONLY;
            break;
        case fmOpenWrite:
            flags |= O_WRONLY;
            break;
        case fmOpenReadWrite:
            flags |= O_RDWR;
            break;
        default:
            error = EINVAL;
            break;
        }
    }
    if (error == 0 && fileName.find('\0') != std::string::npos) error = EINVAL;
    if (error == 0) {
        do {
            FHandle = ::open(fileName.c_str(), flags, 0666);
        } while (FHandle < 0 && errno == EINTR);
        if (FHandle < 0) error = errno;
    }
    if (error == 0) {
        // A directory opens read-only on Linux but is no file to stream.
        struct stat st {};
        if (::fstat(FHandle, &st) != 0)
            error = errno;
        else if (S_ISDIR(st.st_mode))
            error = EISDIR;
        if (error != 0) {
            ::close(FHandle);
            FHandle = -1;
        }
    }
    if (error != 0) {
        if (create)
            throw EFCreateError(
                Format("Cannot create file \"%s\". %s", fileName, OSErrorText(error)));
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName, OSErrorText(error)));
    }
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || FPosition < 0) return 0;
    auto* out = static_cast<char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(FHandle, out + done, static_cast<size_t>(count - done),
                            static_cast<off_t>(FPosition));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (done > 0) break; // answer what was read; the next call reports the error
            throw EReadError(Format("Cannot read file \"%s\". %s", FFileName, OSErrorText(errno)));
        }
        if (n == 0) break;
        done += static_cast<int32_t>(n);
        FPosition += n;
    }
    return done;
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    if (count <= 0 || FPosition < 0 || EndOf(FPosition, count) < 0) return 0;
    const auto* in = static_cast<const char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        ssize_t n = ::pwrite(FHandle, in + done, static_cast<size_t>(count - done),
                             static_cast<off_t>(FPosition));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (done > 0) break;
            throw EWriteError(
                Format("Cannot write file \"%s\". %s", FFileName, OSErrorText(errno)));
        }
        if (n == 0) break;
        done += static_cast<int32_t>(n);
        FPosition += n;
    }
    return done;
}

int64_t TFileStream::GetSize() {
    struct stat st {};
    if (::fstat(FHandle, &st) != 0)
        throw EStreamError(Format("Cannot read file \"%s\". %s", FFileName, OSErrorText(errno)));
    return static_cast<int64_t>(st.st_size);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    if (origin == soCurrent && offset == 0) return FPosition;
    FPosition = SeekTarget(FPosition, origin == soEnd ? GetSize() : 0, offset, origin);
    return FPosition;
}

void TFileStream::SetSize(int64_t newSize) {
    if (newSize < 0) throw EStreamError(Format("Invalid stream size (%d)", newSize));
    int rc;
    do {
        rc = ::ftruncate(FHandle, static_cast<off_t>(newSize));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        throw EStreamError(
            Format("Cannot change the size of file \"%s\". %s", FFileName, OSErrorText(errno)));
    FPosition = newSize;
}

// ---- TMemoryStream --------------------------------------------------------------------------

void TMemoryStream::Resize(int64_t newSize) {
    if (newSize < 0) throw EStreamError(Format("Invalid stream size (%d)", newSize));
    try {
        FData.resize(static_cast<size_t>(newSize));
    } catch (const std::bad_alloc&) {
        throw EStreamError("Out of memory while expanding memory stream");
    } catch (const std::length_error&) {
        throw EStreamError("Out of memory while expanding memory stream");
    }
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    int32_t n = Available(FPosition, GetSize(), count);
    if (n > 0) std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0 || FPosition < 0) return 0;
    int64_t end = EndOf(FPosition, count);
    if (end < 0) return 0;
    if (end > GetSize()) Resize(end);
    std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTarget(FPosition, GetSize(), offset, origin);
    return FPosition;
}

void TMemoryStream::SetSize(int64_t newSize) {
    Resize(newSize);
    FPosition = std::min(FPosition, newSize);
}

void TMemoryStream::Clear() {
    FData.clear();
    FData.shrink_to_fit();
    FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& stream) {
    if (&stream == this) {
        FPosition = 0;
        return;
    }
    stream.SetPosition(0);
    int64_t size = stream.GetSize();
    SetSize(size);
    FPosition = 0;
    char* p = FData.data();
    while (size > 0) {
        auto n = static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
        stream.ReadBuffer(p, n);
        p += n;
        size -= n;
    }
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& stream) const {
    // Saving into itself appends a copy; write from a snapshot that cannot move meanwhile.
    std::vector<char> snapshot;
    if (&stream == static_cast<const TStream*>(this)) snapshot = FData;
    const char* p = snapshot.empty() ? FData.data() : snapshot.data();
    auto size = static_cast<int64_t>(FData.size());
    while (size > 0) {
        auto n = static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
        stream.WriteBuffer(p, n);
        p += n;
        size -= n;
    }
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    TFileStream file(fileName, fmCreate);
    SaveToStream(file);
}

// ---- TStringStream --------------------------------------------------------------------------

int32_t TStringStream::Read(void* buffer, int32_t count) {
    int32_t n = Available(FPosition, GetSize(), count);
    if (n > 0) std::memcpy(buffer, FDataString.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int32_t TStringStream::Write(const void* buffer, int32_t count) {
    if (count <= 0 || FPosition < 0) return 0;
    int64_t end = EndOf(FPosition, count);
    if (end < 0) return 0;
    if (end > GetSize()) SetSize(end);
    std::memcpy(FDataString.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

int64_t TStringStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTarget(FPosition, GetSize(), offset, origin);
    return FPosition;
}

void TStringStream::SetSize(int64_t newSize) {
    if (newSize < 0) throw EStreamError(Format("Invalid stream size (%d)", newSize));
    try {
        FDataString.resize(static_cast<size_t>(newSize));
    } catch (const std::bad_alloc&) {
        throw EStreamError("Out of memory while expanding memory stream");
    } catch (const std::length_error&) {
        throw EStreamError("Out of memory while expanding memory stream");
    }
    FPosition = std::min(FPosition, newSize);
}

std::string TStringStream::ReadString(int32_t count) {
    int32_t n = Available(FPosition, GetSize(), count);
    if (n == 0) return {};
    std::string result = FDataString.substr(static_cast<size_t>(FPosition), static_cast<size_t>(n));
    FPosition += n;
    return result;
}

void TStringStream::WriteString(const std::string& text) {
    const char* p = text.data();
    auto size = static_cast<int64_t>(text.size());
    while (size > 0) {
        auto n = static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
        WriteBuffer(p, n);
        p += n;
        size -= n;
    }
}

} // namespace zan
