// Byte streams with the framework's contract: Read/Write move up to Count bytes and answer how
// many moved; ReadBuffer/WriteBuffer insist on all of them; Seek answers the new position.
#pragma once

#include <cstdint>
#include <string>

#include "host/rtl/Exceptions.h"

ZAN_EXCEPTION_CLASS(EStreamError, Exception);
ZAN_EXCEPTION_CLASS(EReadError, EStreamError);
ZAN_EXCEPTION_CLASS(EWriteError, EStreamError);

enum TSeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;

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
