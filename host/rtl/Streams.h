// Byte streams with the framework's contract: Read/Write move up to Count bytes and answer how
// many moved; ReadBuffer/WriteBuffer insist on all of them; Seek answers the new position.
// A negative count moves nothing and answers 0; reading at or past the end answers fewer bytes
// (0 at the end), never undefined data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/Exceptions.h"

namespace zan {

ZAN_EXCEPTION_CLASS(EStreamError, Exception);
ZAN_EXCEPTION_CLASS(EReadError, EStreamError);
ZAN_EXCEPTION_CLASS(EWriteError, EStreamError);
// A file stream that could not create or open its file; the message names the file.
ZAN_EXCEPTION_CLASS(EFCreateError, EStreamError);
ZAN_EXCEPTION_CLASS(EFOpenError, EStreamError);

enum TSeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    ~TStream() override = default;
    ZAN_CLASS(TStream)

    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    // Raise EReadError / EWriteError when fewer than count bytes move.
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);

    int64_t GetPosition() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }
    virtual int64_t GetSize();
    virtual void SetSize(int64_t newSize);

    // Copies count bytes from source (the whole of it from its start when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// File open modes: one access mode, optionally or'ed with a share mode (accepted and ignored:
// nothing in the system shares files through file streams), or fmCreate alone.
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareCompat = 0x0000;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;
// Creates the file, or empties an existing one, and opens it for reading and writing.
inline constexpr uint16_t fmCreate = 0xFF00;

// A stream on a file. Opening failures raise EFCreateError "Cannot create file "<name>". <os
// text>" or EFOpenError "Cannot open file "<name>". <os text>".
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, uint16_t mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    ZAN_CLASS(TFileStream)

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t GetSize() override;
    // Cuts or extends the file (with zeros) and moves the position to the new end.
    void SetSize(int64_t newSize) override;

    const std::string& GetFileName() const { return FFileName; }
    int GetHandle() const { return FHandle; }

private:
    std::string FFileName;
    int FHandle = -1;
    int64_t FPosition = 0;
};

// A stream on a growable block of memory. Positions past the end are allowed: writing there
// fills the gap with zeros.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    ZAN_CLASS(TMemoryStream)

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t GetSize() override { return static_cast<int64_t>(FData.size()); }
    // Keeps the first bytes, zero-fills growth; a position past the new end moves to it.
    void SetSize(int64_t newSize) override;

    // The bytes of the stream (Size of them); valid until the size changes.
    char* Memory() { return FData.data(); }
    const char* Memory() const { return FData.data(); }
    void Clear();

    // Replaces the content with the whole of the stream / file; the position goes to 0.
    void LoadFromStream(TStream& stream);
    void LoadFromFile(const std::string& fileName);
    // Writes the whole content (not only from the position).
    void SaveToStream(TStream& stream) const;
    void SaveToFile(const std::string& fileName) const;

private:
    void Resize(int64_t newSize);

    std::vector<char> FData;
    int64_t FPosition = 0;
};

// A stream on a string. Writing overwrites from the position and extends the string when it
// passes the end.
class TStringStream : public TStream {
public:
    explicit TStringStream(std::string data = {}) : FDataString(std::move(data)) {}
    ZAN_CLASS(TStringStream)

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t GetSize() override { return static_cast<int64_t>(FDataString.size()); }
    void SetSize(int64_t newSize) override;

    const std::string& DataString() const { return FDataString; }
    // Reads up to count bytes from the position.
    std::string ReadString(int32_t count);
    void WriteString(const std::string& text);

private:
    std::string FDataString;
    int64_t FPosition = 0;
};

} // namespace zan
