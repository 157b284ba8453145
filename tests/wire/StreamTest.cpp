// The stream record and its generic operations over a scripted transport,
// and the file streams.
#include "TempDir.h"
#include "aStream.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A transport whose reads follow a script: bytes, and results in between.
struct Script {
    std::deque<int> events; // a byte 0..255, or -aErr
    aErr atEnd = aErrNotReady;
    std::string written;
    int putCalls = 0;
    int writeCalls = 0;
    aErr putResult = aErrNone;
    int putFailsAfter = -1; // put fails from this call on
    int deleted = 0;

    void bytes(const std::string& text) {
        for (unsigned char c : text) {
            events.push_back(c);
        }
    }
    void result(aErr err) { events.push_back(-static_cast<int>(err)); }

    static aErr get(uint8_t* byte, void* context) {
        auto* s = static_cast<Script*>(context);
        if (s->events.empty()) {
            return s->atEnd;
        }
        int e = s->events.front();
        s->events.pop_front();
        if (e < 0) {
            return static_cast<aErr>(-e);
        }
        *byte = static_cast<uint8_t>(e);
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* context) {
        auto* s = static_cast<Script*>(context);
        if (s->putFailsAfter >= 0 && s->putCalls >= s->putFailsAfter) {
            s->putCalls++;
            return aErrIO;
        }
        s->putCalls++;
        s->written += static_cast<char>(*byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* bytes, uint64_t length, void* context) {
        auto* s = static_cast<Script*>(context);
        s->writeCalls++;
        s->written.append(reinterpret_cast<const char*>(bytes), length);
        return aErrNone;
    }
    static aErr remove(void* context) {
        static_cast<Script*>(context)->deleted++;
        return aErrBusy; // something to see passed back
    }
};

// A stream over a script, destroyed at the end of the test.
struct ScriptStream {
    Script script;
    aStream* stream;
    explicit ScriptStream(bool withPut = true, bool withWrite = true)
        : stream(aStream_Create(Script::get, withPut ? Script::put : nullptr,
                                withWrite ? Script::write : nullptr, Script::remove, &script)) {}
    ~ScriptStream() { aStream_Destroy(&stream); }

    std::string read(uint64_t count, aErr expected = aErrNone) {
        std::string buffer(count, '\0');
        EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buffer.data()), count), expected);
        return buffer;
    }
    std::string cstring(uint64_t size, aErr expected = aErrNone) {
        std::vector<char> buffer(size, '#');
        EXPECT_EQ(aStream_ReadCString(stream, buffer.data(), size), expected);
        return expected == aErrNone ? std::string(buffer.data()) : std::string();
    }
    std::string record(uint64_t capacity, const std::string& terminator, aErr expected = aErrNone) {
        std::string buffer(capacity, '#');
        uint64_t length = 999;
        EXPECT_EQ(aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer.data()), &length,
                                     capacity, reinterpret_cast<const uint8_t*>(terminator.data()),
                                     terminator.size()),
                  expected);
        return buffer.substr(0, length);
    }
};

TEST(Stream, CreateAndDestroy) {
    Script script;
    aStream* stream = aStream_Create(Script::get, nullptr, nullptr, Script::remove, &script);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(aVALIDSTREAM(stream));
    EXPECT_EQ(stream->check, aSTREAMCHECK);
    EXPECT_EQ(stream->context, &script);
    EXPECT_EQ(stream->buffer, nullptr);
    EXPECT_EQ(stream->bufferCount + stream->bufferSize + stream->readIndex + stream->writeIndex,
              0u);
    EXPECT_EQ(aStream_Destroy(&stream), aErrBusy); // the delete operation's result
    EXPECT_EQ(script.deleted, 1);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
    EXPECT_EQ(script.deleted, 1);

    aStream* bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
}

TEST(Stream, ReadIsAllOrNothing) {
    ScriptStream s;
    s.script.bytes("abc");
    std::string buffer(4, 'X');
    EXPECT_EQ(aStream_Read(s.stream, reinterpret_cast<uint8_t*>(buffer.data()), 4), aErrNotReady);
    EXPECT_EQ(buffer, "XXXX"); // untouched
    EXPECT_EQ(s.stream->bufferCount, 3u);
    s.script.bytes("defg");
    EXPECT_EQ(s.read(4), "abcd");
    EXPECT_EQ(s.read(3), "efg");

    // aErrEOF hands over what arrived; other errors lose it.
    s.script.bytes("hi");
    s.script.result(aErrEOF);
    EXPECT_EQ(s.read(4, aErrEOF).substr(0, 2), "hi");
    s.script.bytes("jk");
    s.script.result(aErrIO);
    s.script.bytes("lm");
    s.read(4, aErrIO);
    EXPECT_EQ(s.read(2), "lm");

    uint8_t byte;
    EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Read(s.stream, nullptr, 1), aErrParam);
    ScriptStream writeOnly;
    writeOnly.stream->getProc = nullptr;
    EXPECT_EQ(aStream_Read(writeOnly.stream, &byte, 1), aErrMode);
}

TEST(Stream, PushBackRingGrowsAndWraps) {
    ScriptStream s;
    std::string sent;
    auto push = [&](int count) {
        for (int i = 0; i < count; i++) {
            char c = static_cast<char>('A' + sent.size() % 53);
            sent += c;
            ASSERT_EQ(aStreamBufferChar(s.stream, static_cast<uint8_t>(c)), aErrNone);
        }
    };
    push(300);
    EXPECT_EQ(s.stream->bufferSize, aSTREAMBUFCHUNK);
    std::string got = s.read(200); // the read index moves on
    push(411);                     // wraps round the end: 511 held in 512
    EXPECT_EQ(s.stream->bufferSize, 512u);
    EXPECT_EQ(s.stream->bufferCount, 511u);
    EXPECT_LT(s.stream->writeIndex, s.stream->readIndex);
    push(100); // grows, unrolling the wrapped content
    EXPECT_EQ(s.stream->bufferSize, 1024u);
    EXPECT_EQ(s.stream->bufferCount, 611u);
    got += s.read(611);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(aStreamBufferChar(nullptr, 0), aErrParam);

    // More than 511 bytes taken by a read that meets aErrNotReady.
    ScriptStream t;
    std::string long1(600, '\0');
    for (size_t i = 0; i < long1.size(); i++) {
        long1[i] = static_cast<char>(i * 7);
    }
    t.script.bytes(long1);
    t.read(601, aErrNotReady);
    EXPECT_EQ(t.stream->bufferSize, 1024u);
    t.script.bytes("!");
    EXPECT_EQ(t.read(601), long1 + "!");
}

TEST(Stream, WriteChoosesTheOperation) {
    const uint8_t data[] = {1, 2, 3};
    ScriptStream both;
    EXPECT_EQ(aStream_Write(both.stream, data, 1), aErrNone);
    EXPECT_EQ(both.script.putCalls, 1);
    EXPECT_EQ(both.script.writeCalls, 0);
    EXPECT_EQ(aStream_Write(both.stream, data, 3), aErrNone);
    EXPECT_EQ(both.script.putCalls, 1);
    EXPECT_EQ(both.script.writeCalls, 1);
    EXPECT_EQ(both.script.written, std::string("\1\1\2\3", 4));

    ScriptStream putOnly(true, false);
    putOnly.script.putFailsAfter = 2;
    EXPECT_EQ(aStream_Write(putOnly.stream, data, 3), aErrIO);
    EXPECT_EQ(putOnly.script.putCalls, 3);
    EXPECT_EQ(putOnly.script.written, std::string("\1\2", 2));

    ScriptStream writeOnly(false, true);
    EXPECT_EQ(aStream_Write(writeOnly.stream, data, 1), aErrNone);
    EXPECT_EQ(writeOnly.script.writeCalls, 1);

    ScriptStream neither(false, false);
    EXPECT_EQ(aStream_Write(neither.stream, data, 1), aErrMode);
    EXPECT_EQ(aStream_Write(both.stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Write(nullptr, data, 1), aErrParam);
}

TEST(Stream, CStrings) {
    ScriptStream s;
    s.script.events.push_back(0); // an empty text first
    s.script.bytes("abcdefghij");
    s.script.events.push_back(0);
    EXPECT_EQ(s.cstring(8), "");
    // Seven letters fill a buffer of 8; the rest and the 0 stay in the stream.
    EXPECT_EQ(s.cstring(8), "abcdefg");
    EXPECT_EQ(s.cstring(8), "hij");

    // A text cut short by aErrNotReady is read again from its start.
    s.script.bytes("xy");
    EXPECT_EQ(s.cstring(8, aErrNotReady), "");
    s.script.bytes("z");
    s.script.events.push_back(0);
    EXPECT_EQ(s.cstring(8), "xyz");

    char buffer[4];
    EXPECT_EQ(aStream_ReadCString(s.stream, buffer, 0), aErrParam);
    EXPECT_EQ(aStream_ReadCString(s.stream, nullptr, 4), aErrParam);

    EXPECT_EQ(aStream_WriteCString(s.stream, "hello"), aErrNone);
    EXPECT_EQ(s.script.written, std::string("hello\0", 6));
    s.script.written.clear();
    // A record written with a text terminator carries the terminator's 0 byte,
    // which a reader of that record leaves as the first byte of the next one.
    EXPECT_EQ(aStream_WriteCStringRecord(s.stream, "GO 0 T", "\r\n"), aErrNone);
    EXPECT_EQ(s.script.written, std::string("GO 0 T\r\n\0", 9));
    s.script.bytes(s.script.written);
    s.script.bytes("OK\r\n");
    EXPECT_EQ(aStream_ReadCStringRecord(s.stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "GO ");
    char big[16];
    EXPECT_EQ(aStream_ReadCStringRecord(s.stream, big, sizeof big, "\r\n"), aErrNone);
    EXPECT_STREQ(big, "0 T");
    EXPECT_EQ(aStream_ReadCStringRecord(s.stream, big, sizeof big, "\r\n"), aErrNone);
    EXPECT_EQ(std::string(big, 3), std::string("\0OK", 3)); // stops at the 0 when printed
    EXPECT_EQ(aStream_ReadCStringRecord(s.stream, big, sizeof big, ""), aErrParam);
}

TEST(Stream, RecordsWithLongerTerminators) {
    ScriptStream s;
    // A partial match followed by another byte is data, and matching goes on.
    s.script.bytes("ab\r\rx\r\nnext");
    EXPECT_EQ(s.record(16, "\r\n"), "ab\r\rx");
    // aErrNotReady in the middle of a terminator puts everything back.
    s.script.events.clear();
    s.script.bytes("cd\r");
    EXPECT_EQ(s.record(16, "\r\n", aErrNotReady), "");
    EXPECT_EQ(s.stream->bufferCount, 3u);
    s.script.bytes("\n");
    EXPECT_EQ(s.record(16, "\r\n"), "cd");
    // A record that fills up while part of a terminator is pending keeps the
    // rest in the stream.
    s.script.bytes("ab\rX\r\n");
    EXPECT_EQ(s.record(3, "\r\n"), "ab\r");
    EXPECT_EQ(s.record(3, "\r\n"), "X");
    // Capacity reached without a terminator.
    s.script.bytes("abcdef\r\n");
    EXPECT_EQ(s.record(4, "\r\n"), "abcd");
    EXPECT_EQ(s.record(4, "\r\n"), "ef");
    // The end of the stream ends a record; with nothing read it is aErrEOF.
    s.script.bytes("tail\r");
    s.script.atEnd = aErrEOF;
    EXPECT_EQ(s.record(16, "\r\n"), "tail\r");
    EXPECT_EQ(s.record(16, "\r\n", aErrEOF), "");
    // Other errors hand nothing over.
    s.script.atEnd = aErrNotReady;
    s.script.bytes("lost");
    s.script.result(aErrConnection);
    EXPECT_EQ(s.record(16, "\r\n", aErrConnection), "");

    uint8_t buffer[4];
    const uint8_t t = '\n';
    EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, nullptr, 4, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, nullptr, 4, &t, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.stream, nullptr, nullptr, 4, &t, 1), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(s.stream, buffer, 1, &t, 0), aErrParam);
}

TEST(Stream, WriteRecordStopsAtTheFirstError) {
    ScriptStream s(true, false);
    s.script.putFailsAfter = 2;
    const uint8_t t[] = {'\r', '\n'};
    EXPECT_EQ(aStream_WriteRecord(s.stream, reinterpret_cast<const uint8_t*>("abc"), 3, t, 2),
              aErrIO);
    EXPECT_EQ(s.script.putCalls, 3); // the terminator was not tried
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

TEST(FileStream, FlushCopiesAFile) {
    qbtest::TempDir dir;
    std::string content;
    for (int i = 0; i < 70000; i++) {
        content += static_cast<char>((i * 31) ^ (i >> 8));
    }
    std::ofstream(dir / "in", std::ios::binary) << content;

    aStream* in = nullptr;
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileInput((dir / "in").c_str(), &in), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput((dir / "out").c_str(), &out), aErrNone);
    EXPECT_EQ(in->putProc, nullptr);
    EXPECT_EQ(in->writeProc, nullptr);
    EXPECT_EQ(out->getProc, nullptr);
    EXPECT_EQ(aStream_Flush(out, in), aErrMode); // the wrong way round
    EXPECT_EQ(aStream_Flush(in, out), aErrNone);
    EXPECT_EQ(aStream_Flush(in, nullptr), aErrParam);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_EQ(readFile(dir / "out"), content);

    // Records through files.
    ASSERT_EQ(aStream_CreateFileOutput((dir / "text").c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_WriteCString(out, "first"), aErrNone);
    EXPECT_EQ(aStream_WriteCString(out, "second"), aErrNone);
    aStream_Destroy(&out);
    ASSERT_EQ(aStream_CreateFileInput((dir / "text").c_str(), &in), aErrNone);
    char text[16];
    EXPECT_EQ(aStream_ReadCString(in, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "first");
    EXPECT_EQ(aStream_ReadCString(in, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "second");
    EXPECT_EQ(aStream_ReadCString(in, text, sizeof text), aErrEOF);
    aStream_Destroy(&in);
}

TEST(FileStream, FlushPassesErrorsOn) {
    ScriptStream source;
    source.script.bytes("ab");
    source.script.result(aErrIO);
    ScriptStream sink(true, false);
    EXPECT_EQ(aStream_Flush(source.stream, sink.stream), aErrIO);
    EXPECT_EQ(sink.script.written, "ab");
    source.script.bytes("cd");
    sink.script.putFailsAfter = 3;
    EXPECT_EQ(aStream_Flush(source.stream, sink.stream), aErrIO);
    EXPECT_EQ(sink.script.written, "abc");
}

TEST(FileStream, CreationFailures) {
    qbtest::TempDir dir;
    aStream* stream = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    stream = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateFileOutput((dir / "no/such/dir").c_str(), &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput((dir / "x").c_str(), nullptr), aErrResource);
}

} // namespace
