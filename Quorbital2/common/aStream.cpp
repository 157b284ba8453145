#include "aStream.h"

#include "aFile.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Takes the oldest byte of the push-back ring; false when it holds none.
bool sStreamGetBufferedChar(aStream* stream, uint8_t* byte) {
    if (stream->buffer == nullptr || stream->bufferCount == 0) {
        return false;
    }
    *byte = stream->buffer[stream->readIndex];
    stream->readIndex = (stream->readIndex + 1) % stream->bufferSize;
    stream->bufferCount--;
    return true;
}

// Puts bytes back in front of what the ring holds, in their order.
aErr sStreamUngetFront(aStream* stream, const uint8_t* bytes, uint64_t count) {
    uint64_t held = stream->bufferCount;
    uint8_t* rest = nullptr;
    if (held > 0) {
        rest = static_cast<uint8_t*>(malloc(held));
        if (rest == nullptr) {
            return aErrMemory;
        }
        for (uint64_t i = 0; i < held; i++) {
            sStreamGetBufferedChar(stream, &rest[i]);
        }
    }
    aErr err = aErrNone;
    for (uint64_t i = 0; i < count && err == aErrNone; i++) {
        err = aStreamBufferChar(stream, bytes[i]);
    }
    for (uint64_t i = 0; i < held && err == aErrNone; i++) {
        err = aStreamBufferChar(stream, rest[i]);
    }
    free(rest);
    return err;
}

aErr sStreamPushBack(aStream* stream, const uint8_t* bytes, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone) {
            return err;
        }
    }
    return aErrNone;
}

// A temporary byte buffer: small ones on the stack, larger ones from the heap.
class sScratch {
public:
    explicit sScratch(uint64_t size) {
        if (size <= sizeof local) {
            data = local;
        } else {
            heap = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)));
            data = heap;
        }
    }
    ~sScratch() { free(heap); }
    sScratch(const sScratch&) = delete;
    sScratch& operator=(const sScratch&) = delete;

    uint8_t* data = nullptr;

private:
    uint8_t local[64];
    uint8_t* heap = nullptr;
};

aErr sFileStreamGet(uint8_t* byte, void* context) {
    if (context == nullptr) {
        return aErrIO;
    }
    return aFile_Read(static_cast<aFileRef>(context), byte, 1, nullptr);
}

aErr sFileStreamPut(const uint8_t* byte, void* context) {
    if (context == nullptr) {
        return aErrIO;
    }
    return aFile_Write(static_cast<aFileRef>(context), byte, 1, nullptr);
}

aErr sFileStreamWrite(const uint8_t* bytes, uint64_t length, void* context) {
    if (context == nullptr) {
        return aErrIO;
    }
    return aFile_Write(static_cast<aFileRef>(context), bytes, static_cast<size_t>(length), nullptr);
}

aErr sFileStreamDelete(void* context) {
    if (context == nullptr) {
        return aErrIO;
    }
    aFileRef file = static_cast<aFileRef>(context);
    return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, uint32_t mode, aStream** streamOut) {
    if (streamOut == nullptr) {
        return aErrResource;
    }
    *streamOut = nullptr;
    if (path == nullptr) {
        return aErrResource;
    }
    aFileRef file = aFile_Open(path, mode);
    if (file == nullptr) {
        return aErrResource;
    }
    aStream* stream =
        mode == aFileModeRead
            ? aStream_Create(sFileStreamGet, nullptr, nullptr, sFileStreamDelete, file)
            : aStream_Create(nullptr, sFileStreamPut, sFileStreamWrite, sFileStreamDelete, file);
    if (stream == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    *streamOut = stream;
    return aErrNone;
}

} // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc remove, void* context) {
    auto* stream = new (std::nothrow) aStream;
    if (stream == nullptr) {
        return nullptr;
    }
    memset(stream, 0, sizeof *stream);
    stream->getProc = get;
    stream->putProc = put;
    stream->writeProc = write;
    stream->deleteProc = remove;
    stream->context = context;
    stream->check = aSTREAMCHECK;
    return stream;
}

aErr aStream_Destroy(aStream** streamRef) {
    if (streamRef == nullptr) {
        return aErrParam;
    }
    aStream* stream = *streamRef;
    *streamRef = nullptr;
    if (!aVALIDSTREAM(stream)) {
        return aErrParam;
    }
    aErr err = aErrNone;
    if (stream->deleteProc != nullptr) {
        err = stream->deleteProc(stream->context);
    }
    delete[] stream->buffer;
    stream->buffer = nullptr;
    stream->check = 0;
    delete stream;
    return err;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
    if (!aVALIDSTREAM(stream)) {
        return aErrParam;
    }
    if (stream->buffer == nullptr) {
        stream->buffer = new (std::nothrow) uint8_t[aSTREAMBUFCHUNK];
        if (stream->buffer == nullptr) {
            return aErrMemory;
        }
        stream->bufferSize = aSTREAMBUFCHUNK;
        stream->bufferCount = 0;
        stream->readIndex = 0;
        stream->writeIndex = 0;
    } else if (stream->bufferCount >= stream->bufferSize - 1) {
        // Grow by one chunk, unrolling the held bytes to the start.
        uint64_t size = stream->bufferSize + aSTREAMBUFCHUNK;
        auto* grown = new (std::nothrow) uint8_t[size];
        if (grown == nullptr) {
            return aErrMemory;
        }
        uint64_t first = stream->bufferSize - stream->readIndex;
        if (first > stream->bufferCount) {
            first = stream->bufferCount;
        }
        memcpy(grown, stream->buffer + stream->readIndex, first);
        memcpy(grown + first, stream->buffer, stream->bufferCount - first);
        delete[] stream->buffer;
        stream->buffer = grown;
        stream->readIndex = 0;
        stream->writeIndex = stream->bufferCount;
        stream->bufferSize = size;
    }
    stream->buffer[stream->writeIndex] = byte;
    stream->writeIndex = (stream->writeIndex + 1) % stream->bufferSize;
    stream->bufferCount++;
    return aErrNone;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, uint64_t count) {
    if (!aVALIDSTREAM(stream) || buffer == nullptr) {
        return aErrParam;
    }
    if (stream->getProc == nullptr) {
        return aErrMode;
    }
    if (count == 0) {
        return aErrNone;
    }
    sScratch taken(count);
    if (taken.data == nullptr) {
        return aErrResource;
    }
    uint64_t got = 0;
    aErr err = aErrNone;
    while (got < count) {
        if (sStreamGetBufferedChar(stream, &taken.data[got])) {
            got++;
            continue;
        }
        err = stream->getProc(&taken.data[got], stream->context);
        if (err != aErrNone) {
            break;
        }
        got++;
    }
    switch (err) {
    case aErrNotReady: {
        // The ring was emptied before the transport was asked, so appending
        // keeps the order.
        aErr pushed = sStreamPushBack(stream, taken.data, got);
        return pushed == aErrNone ? aErrNotReady : pushed;
    }
    case aErrNone:
    case aErrEOF:
        memcpy(buffer, taken.data, got);
        return err;
    default:
        return err;
    }
}

aErr aStream_Write(aStream* stream, const uint8_t* data, uint64_t count) {
    if (!aVALIDSTREAM(stream) || data == nullptr) {
        return aErrParam;
    }
    if (stream->putProc == nullptr && stream->writeProc == nullptr) {
        return aErrMode;
    }
    if (stream->writeProc != nullptr && (count > 1 || stream->putProc == nullptr)) {
        return count == 0 ? aErrNone : stream->writeProc(data, count, stream->context);
    }
    for (uint64_t i = 0; i < count; i++) {
        aErr err = stream->putProc(&data[i], stream->context);
        if (err != aErrNone) {
            return err;
        }
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, uint64_t* lengthOut, uint64_t capacity,
                        const uint8_t* terminator, uint64_t terminatorLength) {
    if (lengthOut != nullptr) {
        *lengthOut = 0;
    }
    if (!aVALIDSTREAM(stream) || buffer == nullptr || terminator == nullptr ||
        terminatorLength == 0) {
        return aErrParam;
    }
    sScratch stored(capacity);
    sScratch pending(terminatorLength);
    if ((capacity > 0 && stored.data == nullptr) || pending.data == nullptr) {
        return aErrResource;
    }
    // Bytes are matched against the terminator as they come; the bytes that
    // match a beginning of it wait in `pending` until the match completes or
    // fails (then the first of them is data and the rest is matched again).
    uint64_t count = 0;
    uint64_t pend = 0;
    auto shiftPending = [&] {
        stored.data[count++] = pending.data[0];
        pend--;
        memmove(pending.data, pending.data + 1, pend);
    };
    aErr result = aErrNone;
    while (count < capacity) {
        uint8_t byte;
        aErr err = aErrNone;
        if (!sStreamGetBufferedChar(stream, &byte)) {
            err = aStream_Read(stream, &byte, 1);
        }
        if (err == aErrNotReady) {
            // The ring is empty now: put everything back so that the next
            // call reads the record again from its start.
            aErr pushed = sStreamPushBack(stream, stored.data, count);
            if (pushed == aErrNone) {
                pushed = sStreamPushBack(stream, pending.data, pend);
            }
            return pushed == aErrNone ? aErrNotReady : pushed;
        }
        if (err == aErrEOF) {
            // A partial terminator at the end is data.
            while (pend > 0 && count < capacity) {
                shiftPending();
            }
            if (count == 0) {
                return aErrEOF;
            }
            break;
        }
        if (err != aErrNone) {
            return err;
        }
        pending.data[pend++] = byte;
        while (pend > 0 && memcmp(pending.data, terminator, pend) != 0 && count < capacity) {
            shiftPending();
        }
        if (pend == terminatorLength && memcmp(pending.data, terminator, pend) == 0) {
            pend = 0;
            break;
        }
    }
    if (pend > 0) {
        // The record filled up while part of a terminator was pending.
        result = sStreamUngetFront(stream, pending.data, pend);
        if (result != aErrNone) {
            return result;
        }
    }
    if (count > 0) {
        memcpy(buffer, stored.data, count);
    }
    if (lengthOut != nullptr) {
        *lengthOut = count;
    }
    return aErrNone;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, uint64_t length,
                         const uint8_t* terminator, uint64_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || data == nullptr || terminator == nullptr ||
        terminatorLength == 0) {
        return aErrParam;
    }
    aErr err = aStream_Write(stream, data, length);
    if (err != aErrNone) {
        return err;
    }
    return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCString(aStream* stream, char* buffer, uint64_t size) {
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    const uint8_t terminator = 0;
    uint64_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                  &terminator, 1);
    if (err == aErrNone) {
        buffer[length] = '\0';
    }
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
    if (text == nullptr) {
        return aErrParam;
    }
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, uint64_t size,
                               const char* terminatorText) {
    if (buffer == nullptr || size == 0 || terminatorText == nullptr) {
        return aErrParam;
    }
    uint64_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                  reinterpret_cast<const uint8_t*>(terminatorText),
                                  strlen(terminatorText));
    if (err == aErrNone) {
        buffer[length] = '\0';
    }
    return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminatorText) {
    if (text == nullptr || terminatorText == nullptr) {
        return aErrParam;
    }
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(terminatorText),
                               strlen(terminatorText) + 1);
}

aErr aStream_Flush(aStream* input, aStream* output) {
    if (!aVALIDSTREAM(input) || !aVALIDSTREAM(output)) {
        return aErrParam;
    }
    if (input->getProc == nullptr || output->putProc == nullptr) {
        return aErrMode;
    }
    for (;;) {
        uint8_t byte;
        aErr err = input->getProc(&byte, input->context);
        if (err == aErrEOF) {
            return aErrNone;
        }
        if (err != aErrNone) {
            return err;
        }
        err = output->putProc(&byte, output->context);
        if (err != aErrNone) {
            return err;
        }
    }
}

aErr aStream_CreateFileInput(const char* path, aStream** streamOut) {
    return sCreateFileStream(path, aFileModeRead, streamOut);
}

aErr aStream_CreateFileOutput(const char* path, aStream** streamOut) {
    return sCreateFileStream(path, aFileModeWrite, streamOut);
}
