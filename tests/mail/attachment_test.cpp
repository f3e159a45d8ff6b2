// The attachment road: the exact bytes of the data for files of telling sizes, the worker's
// outcomes and failures, and its lifecycle (busy refusal, abort).
#include "gated_file.h"
#include "reference_base64.h"
#include "scripted_server.h"
#include "temp_dir.h"
#include "test_mailer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using mail::Msg;
using vtest::ScriptedServer;
using vtest::TestMailer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The data of a mail with an empty body and an attachment, written out from the wire format: the
// file as one base64 text, as if encoded in one call.
std::string AttachmentData(const std::string& name, const std::string& file) {
    return vtest::ExpectedHead("Subject:files") + vtest::ExpectedAttachmentHead(name) +
           vtest::ReferenceBase64(reinterpret_cast<const unsigned char*>(file.data()),
                                  file.size()) +
           vtest::kClosing;
}

class Attachment : public ::testing::Test {
protected:
    void Fill(TestMailer& mailer, const fs::path& path) {
        mailer.FillForm();
        mailer.form.m_strSubject = "files";
        mailer.form.m_strBody.clear();
        mailer.form.m_strAttachPath = path.string();
    }
    vtest::TempDir dir;
};

TEST_F(Attachment, DataIsTheWholeFileForEverySize) {
    for (std::size_t size : {0, 57, 58, 1000, 1001, 2000, 2500, 1234567}) {
        const std::string file = RandomBytes(size, static_cast<unsigned>(size));
        const auto path = dir / ("f" + std::to_string(size) + ".zip");
        WriteFile(path, file);
        ScriptedServer server;
        TestMailer mailer(server.port());
        Fill(mailer, path);
        mailer.OnOK();
        ASSERT_TRUE(mailer.WaitForWorker()) << size;
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk}) << size;
        EXPECT_TRUE(mailer.SessionClosed()) << size;
        EXPECT_EQ(mailer.core.AttachmentBytesSent(), size);
        ASSERT_TRUE(server.WaitForClientClose(5s)) << size;
        const auto units = server.Units();
        ASSERT_EQ(units.size(), 9u) << size;
        EXPECT_EQ(units[7], AttachmentData(path.filename().string(), file)) << size;
        EXPECT_EQ(units[8], "quit\r\n");
    }
}

// Batches of the file continue one another's lines: every line is 76 characters but the last, and
// "=" appears only at the very end, where RFC 2045 decoders expect it.
TEST_F(Attachment, TheFileIsOneContinuousBase64Text) {
    const std::string file = RandomBytes(1234567, 3);
    const auto path = dir / "big.zip";
    WriteFile(path, file);
    ScriptedServer server;
    TestMailer mailer(server.port());
    Fill(mailer, path);
    mailer.OnOK();
    ASSERT_TRUE(mailer.WaitForWorker());
    ASSERT_TRUE(server.WaitForClientClose(5s));
    const std::string data = server.Units().at(7);
    const std::string head = vtest::ExpectedAttachmentHead("big.zip");
    const auto start = data.find(head) + head.size();
    const std::string encoded =
        data.substr(start, data.find("\r\n--marrowfen-quibblestar--") - start);
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < encoded.size(); ++lines) {
        auto end = std::min(encoded.find("\r\n", pos), encoded.size());
        if (end != encoded.size()) {
            ASSERT_EQ(end - pos, 76u) << "line " << lines;
        }
        pos = end + 2;
    }
    EXPECT_EQ(lines, (1234567 + 56) / 57);
    EXPECT_EQ(encoded.find('='), encoded.size() - 2) << "1234567 = 3 x 411522 + 1: one pad pair";
}

TEST_F(Attachment, AHandTypedPathIsSentAndSentAgainAfterSuccess) {
    const std::string file = RandomBytes(3000, 9);
    const auto path = dir / "report.zip";
    WriteFile(path, file);
    ScriptedServer server;
    TestMailer mailer(server.port());
    for (int round = 0; round < 2; ++round) {
        Fill(mailer, path); // the dialog reloads the path field before every send
        mailer.OnOK();
        ASSERT_TRUE(mailer.WaitForWorker());
        ASSERT_TRUE(server.WaitForConnections(round + 1, 5s));
        ASSERT_TRUE(server.WaitForClientClose(5s));
        EXPECT_EQ(server.Units(round)[7], AttachmentData("report.zip", file)) << round;
    }
}

TEST_F(Attachment, QuitNotAnsweredWith221ShowsTheCodeThenSuccess) {
    WriteFile(dir / "a.zip", "PK");
    auto script = vtest::HappyScript();
    script[vtest::kQuit] = vtest::Reply("250 out of step\r\n");
    ScriptedServer server(script);
    TestMailer mailer(server.port());
    Fill(mailer, dir / "a.zip");
    mailer.OnOK();
    ASSERT_TRUE(mailer.WaitForWorker());
    const auto notices = mailer.Notices();
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[0].id, Msg::ReplyCode);
    EXPECT_EQ(mail::NoticeText(notices[0]), "250");
    EXPECT_EQ(notices[1].id, Msg::QuitFailed);
    EXPECT_EQ(notices[2].id, Msg::SentOk);
}

TEST_F(Attachment, WorkerFailuresAreReportedAndNeverShowSuccess) {
    WriteFile(dir / "a.zip", RandomBytes(5000, 1));
    const struct {
        const char* name;
        std::size_t step;
        vtest::Action action;
        std::vector<Msg> messages;
    } cases[] = {
        {"end of data refused",
         vtest::kEndOfData,
         vtest::Reply("552 too big\r\n"),
         {Msg::SendFailed}},
        {"closed before the end-of-data reply",
         vtest::kEndOfData,
         vtest::Close(),
         {Msg::ReceiveFailed}},
        {"silent after end of data", vtest::kEndOfData, vtest::Silent(), {Msg::ReceiveFailed}},
        // Delivered at the end of the data: what quit brings does not undo it.
        {"closed after quit", vtest::kQuit, vtest::Close(), {Msg::SentOk}},
        {"silent after quit", vtest::kQuit, vtest::Silent(), {Msg::SentOk}},
        {"quit answered 250",
         vtest::kQuit,
         vtest::Reply("250 ok\r\n"),
         {Msg::ReplyCode, Msg::QuitFailed, Msg::SentOk}},
    };
    for (const auto& c : cases) {
        auto script = vtest::HappyScript();
        script[c.step] = c.action;
        ScriptedServer server(script);
        TestMailer mailer(server.port());
        mail::Timeouts t;
        t.reply = t.endOfData = t.quit = 300ms;
        mailer.core.SetTimeoutsForTesting(t);
        Fill(mailer, dir / "a.zip");
        mailer.OnOK();
        ASSERT_TRUE(mailer.WaitForWorker()) << c.name;
        EXPECT_EQ(mailer.Ids(), c.messages) << c.name;
        EXPECT_TRUE(mailer.SessionClosed()) << c.name;
        EXPECT_EQ(mailer.form.m_strAttachPath, (dir / "a.zip").string()) << c.name;
    }
}

TEST_F(Attachment, UnopenablePathsAreRefusedBeforeAnyConnection) {
    WriteFile(dir / "locked.zip", "x");
    chmod((dir / "locked.zip").c_str(), 0);
    mkfifo((dir / "pipe.zip").c_str(), 0600);
    fs::create_directory(dir / "folder.zip");
    std::vector<std::string> paths = {(dir / "missing.zip").string(), (dir / "folder.zip").string(),
                                      (dir / "pipe.zip").string()};
    if (geteuid() != 0) // root reads any file
        paths.push_back((dir / "locked.zip").string());
    ScriptedServer server;
    for (const auto& path : paths) {
        TestMailer mailer(server.port());
        mailer.FillForm();
        mailer.form.m_strAttachPath = path;
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::AttachmentOpenFailed}) << path;
    }
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

// A file that misbehaves on cue: fails to read, or turns out shorter or longer than its length.
class FaultyFile : public mail::AttachmentFile {
public:
    enum class Fault { ReadError, Shrinks, Grows };
    FaultyFile(Fault fault, std::uint64_t length) : m_fault(fault), m_length(length) {}
    std::uint64_t Length() const override { return m_length; }
    ssize_t Read(void* buf, std::size_t len) override {
        if (m_fault == Fault::ReadError && m_read >= 4000)
            return -1;
        std::uint64_t limit = m_length;
        if (m_fault == Fault::Shrinks)
            limit = m_length / 2;
        if (m_fault == Fault::Grows)
            limit = m_length + 10;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(len, limit - m_read));
        std::memset(buf, 'z', n);
        m_read += n;
        return static_cast<ssize_t>(n);
    }

private:
    Fault m_fault;
    std::uint64_t m_length;
    std::uint64_t m_read = 0;
};

class FaultyMailer : public TestMailer {
public:
    FaultyMailer(uint16_t port, FaultyFile::Fault fault) : TestMailer(port) {
        core.PlatformForTesting().openAttachment = [fault](const std::string&) {
            return std::make_unique<FaultyFile>(fault, 600000);
        };
    }
};

TEST_F(Attachment, AReadErrorOrAChangingFileStopsWithoutEndingTheData) {
    for (auto fault :
         {FaultyFile::Fault::ReadError, FaultyFile::Fault::Shrinks, FaultyFile::Fault::Grows}) {
        ScriptedServer server;
        FaultyMailer mailer(server.port(), fault);
        Fill(mailer, "/any/a.zip");
        mailer.OnOK();
        ASSERT_TRUE(mailer.WaitForWorker());
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::AttachmentReadFailed}) << int(fault);
        EXPECT_TRUE(mailer.SessionClosed());
        ASSERT_TRUE(server.WaitForClientClose(5s));
        EXPECT_EQ(server.Transcript().find("\r\n.\r\n"), std::string::npos) << int(fault);
        EXPECT_EQ(server.Units().size(), 7u) << "nothing after DATA completed";
    }
}

// A mailer whose attachment reads wait at a gate.
class GatedMailer : public TestMailer {
public:
    explicit GatedMailer(uint16_t port) : TestMailer(port) {
        core.PlatformForTesting().openAttachment = [this](const std::string&) {
            return std::make_unique<vtest::GatedFile>(gate, kLength, gateAt);
        };
    }
    // The worker reads through the gate: it ends before the gate goes.
    ~GatedMailer() override { core.AbortAttachmentWorker(); }
    static constexpr std::uint64_t kLength = 1'100'000; // more than two of the worker's batches
    vtest::Gate gate;
    std::uint64_t gateAt = 0;
};

TEST_F(Attachment, SendPressedWhileTheWorkerRunsIsRefused) {
    ScriptedServer server;
    GatedMailer mailer(server.port());
    Fill(mailer, "/any/a.zip");
    mailer.OnOK();
    ASSERT_TRUE(mailer.core.IsSending());
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::AttachmentBusy});
    mailer.gate.Open();
    ASSERT_TRUE(mailer.WaitForWorker());
    EXPECT_EQ(mailer.Ids(), (std::vector<Msg>{Msg::AttachmentBusy, Msg::SentOk}));
    EXPECT_EQ(server.ConnectionCount(), 1u);
}

// An abort at every point of the worker's life before its boxes (the dialog's tests take those)
// ends it at once: the connection shut, no end of data unless it had gone out, and no message.
TEST_F(Attachment, AbortAtEveryPointEndsTheWorkerAndTellsNobody) {
    const struct {
        const char* name;
        std::uint64_t gateAt;
        bool dataEnded; // and the server stays silent
    } cases[] = {
        {"before the first byte", 0, false},
        {"in the middle of the data", 600'000, false},
        {"waiting for the end-of-data reply", vtest::GatedFile::kNoGate, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto script = vtest::HappyScript();
        script[vtest::kEndOfData] = vtest::Silent();
        ScriptedServer server(script);
        GatedMailer mailer(server.port());
        mail::Timeouts t;
        t.reply = t.endOfData = 10min; // only the abort can end the waits in time
        mailer.core.SetTimeoutsForTesting(t);
        mailer.gateAt = c.gateAt;
        Fill(mailer, "/any/a.zip");
        mailer.OnOK();
        ASSERT_TRUE(mailer.core.IsSending());
        if (c.dataEnded)
            ASSERT_TRUE(server.WaitForUnits(8, 10s));
        else
            ASSERT_TRUE(mailer.gate.WaitUntilReached(10s));
        {
            const vtest::OpenGateOnClientClose opener(server, mailer.gate);
            mailer.core.AbortAttachmentWorker(); // returns once the worker has ended
        }
        EXPECT_FALSE(mailer.core.IsSending());
        EXPECT_TRUE(mailer.Ids().empty());
        EXPECT_TRUE(mailer.SessionClosed());
        EXPECT_EQ(mailer.core.SocketForTesting().LastError(),
                  mail::CBlockingSocket::Error::Aborted);
        ASSERT_TRUE(server.WaitForClientClose(5s));
        EXPECT_EQ(server.Transcript().find("\r\n.\r\n") != std::string::npos, c.dataEnded);
    }
}

} // namespace
