// The fault matrix: every step of the conversation against every fault a server or a network can
// throw at it, on the text road and, from the data on, the attachment road. What the user must
// see is a small function of the cell, written from the rules of the conversation: harmless
// framing (pieces, continuation lines) ends in success; a lost, silent or garbled server ends in
// exactly the receive failure; a code matters only where it is compared (AUTH and user name 334,
// password 235, MAIL FROM 250, RCPT TO 250 or 251, DATA 354, end of data 250, QUIT 221), and a
// refused EHLO is followed by HELO, whose faults are played on a server that knows only HELO. In
// every cell the session ends closed, no thread outlives it, nothing is sent after a failure, and
// the final "." reaches the server only after the whole message.
#include "fault_proxy.h"
#include "msg_words.h"
#include "scripted_server.h"
#include "temp_dir.h"
#include "test_mailer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <ostream>
#include <random>
#include <sys/socket.h>
#include <thread>

namespace {

using mail::Command;
using mail::Msg;
using vtest::FaultProxy;
using vtest::ScriptedServer;
using vtest::TestMailer;
using namespace std::chrono_literals;

enum class Road { Text, Attachment };

// Where the fault strikes: a reply, named by the command it answers as the core names it, or a
// point of the conversation that has no reply of its own.
enum class Point { Connect, Reply, HeaderBlock, AttachmentData };

struct Step {
    Point point;
    Command answers = Command::Greeting; // for a reply
    bool heloOnly = false;               // the reply of a server that knows only HELO
};

constexpr Step ReplyTo(Command command, bool heloOnly = false) {
    return {Point::Reply, command, heloOnly};
}

// Every step, in the order the conversation passes them.
constexpr Step kSteps[] = {
    {Point::Connect},
    ReplyTo(Command::Greeting),
    ReplyTo(Command::Hello),
    ReplyTo(Command::Hello, /*heloOnly=*/true),
    ReplyTo(Command::Auth),
    ReplyTo(Command::User),
    ReplyTo(Command::Password),
    ReplyTo(Command::MailFrom),
    ReplyTo(Command::RcptTo),
    ReplyTo(Command::Data),
    {Point::HeaderBlock},
    {Point::AttachmentData},
    ReplyTo(Command::EndOfData),
    ReplyTo(Command::Quit),
};

bool Answers(const Step& s, Command command) {
    return s.point == Point::Reply && s.answers == command;
}

enum class Fault {
    Close,               // the server closes the connection
    Silent,              // the server says nothing, past the time limit
    OneBytePieces,       // the reply arrives one byte at a time
    MultiLine,           // the reply has continuation lines
    LongReply,           // one reply line longer than 64 KiB
    EndlessContinuation, // continuation lines beyond 64 KiB and no last line
    NoDigits,            // bytes that are no reply: no code
    Nul,                 // ... a NUL inside the line
    CodeOutOfRange,      // ... a code outside 2xx-5xx
    UnexpectedCode,      // a well-formed reply with a code this step does not want
    StopReading,         // the server stops reading while the data flows
    NameNeverResolves,   // the name server never answers
    NameResolvesLate,    // the name server answers after the form has waited a while
};

struct Cell {
    Road road;
    Step step;
    Fault fault;
};

const char* Name(Road r) {
    return r == Road::Text ? "Text" : "Attachment";
}

const char* Name(const Step& s) {
    switch (s.point) {
    case Point::Connect:
        return "Connect";
    case Point::HeaderBlock:
        return "HeaderBlock";
    case Point::AttachmentData:
        return "AttachmentData";
    case Point::Reply:
        break;
    }
    if (s.heloOnly)
        return "Helo";
    static const char* const replies[] = {"Greeting", "Ehlo",      "StartTls", "Auth",
                                          "User",     "Password",  "MailFrom", "RcptTo",
                                          "Data",     "EndOfData", "Quit"};
    static_assert(std::size(replies) == static_cast<std::size_t>(Command::Quit) + 1);
    return replies[static_cast<int>(s.answers)];
}

const char* Name(Fault f) {
    static const char* const names[] = {"Close",           "Silent",      "OneBytePieces",
                                        "MultiLine",       "LongReply",   "EndlessContinuation",
                                        "NoDigits",        "Nul",         "CodeOutOfRange",
                                        "UnexpectedCode",  "StopReading", "NameNeverResolves",
                                        "NameResolvesLate"};
    return names[static_cast<int>(f)];
}

void PrintTo(const Cell& c, std::ostream* os) {
    *os << Name(c.road) << " road, " << Name(c.step) << ", " << Name(c.fault);
}

// A cell whose server knows only HELO: the HELO cells, and an EHLO that is refused.
bool FallsBack(const Cell& c) {
    return c.step.heloOnly || (Answers(c.step, Command::Hello) && c.fault == Fault::UnexpectedCode);
}

// The steps that are answered by a reply, with the script slot that answers them; after a
// fallback to HELO every slot from the login on is one further on (vtest::HeloSlot).
std::optional<std::size_t> ReplySlot(const Step& s) {
    if (s.point != Point::Reply)
        return std::nullopt;
    switch (s.answers) {
    case Command::Greeting:
        return vtest::kGreeting;
    case Command::Hello:
        return s.heloOnly ? vtest::kHeloReply : vtest::kEhlo;
    case Command::StartTls: // the scripted server offers no STARTTLS
        return std::nullopt;
    case Command::Auth:
        return vtest::kAuth;
    case Command::User:
        return vtest::kUser;
    case Command::Password:
        return vtest::kPass;
    case Command::MailFrom:
        return vtest::kMail;
    case Command::RcptTo:
        return vtest::kRcpt;
    case Command::Data:
        return vtest::kData;
    case Command::EndOfData:
        return vtest::kEndOfData;
    case Command::Quit:
        return vtest::kQuit;
    }
    return std::nullopt;
}

bool InsideTheData(const Step& s) {
    return s.point == Point::HeaderBlock || s.point == Point::AttachmentData;
}

// Up to the reply to DATA.
bool BeforeTheData(const Step& s) {
    return s.point == Point::Connect || (s.point == Point::Reply && s.answers <= Command::Data);
}

bool IsNameFault(Fault f) {
    return f == Fault::NameNeverResolves || f == Fault::NameResolvesLate;
}

bool Applies(const Cell& c) {
    // Up to DATA both roads are one and the same code; the worker takes over after the header.
    if (c.road == Road::Attachment && BeforeTheData(c.step))
        return false;
    if (c.road == Road::Text && c.step.point == Point::AttachmentData)
        return false;
    if (c.step.point == Point::Connect)
        return c.fault == Fault::Close || c.fault == Fault::Silent || IsNameFault(c.fault);
    if (IsNameFault(c.fault))
        return false;
    // Inside the data no reply is due: the server can only break the connection or stop reading.
    if (InsideTheData(c.step))
        return c.fault == Fault::Close || c.fault == Fault::StopReading;
    // Stopping to read matters only while the client still has data to send.
    if (c.fault == Fault::StopReading)
        return Answers(c.step, Command::EndOfData);
    return true;
}

// ---- the expected outcome, as a function of the cell ----

enum class Worker { No, Yes, Maybe };

struct Expected {
    std::vector<Msg> messages;
    bool wholeMessage; // the server got the data up to its "." (and then all of it)
    std::size_t units; // commands and data the server took in: nothing follows a failure
    Worker worker;
};

bool Harmless(Fault f) {
    return f == Fault::OneBytePieces || f == Fault::MultiLine || f == Fault::NameResolvesLate;
}

// Steps whose reply code is compared; a refused EHLO only leads to HELO (the server is on this
// machine), and whatever quit is answered with, the mail was delivered.
bool IsCheckpoint(const Step& s) {
    return s.point == Point::Reply && (s.answers != Command::Hello || s.heloOnly) &&
           s.answers != Command::Quit;
}

// Units the server has taken in when the fault at this step strikes.
std::size_t UnitsThrough(const Step& s) {
    if (auto slot = ReplySlot(s))
        return *slot; // the reply in slot n answers the n-th unit
    return s.point == Point::Connect ? 0 : std::size_t{vtest::kData};
}

// Where the DATA unit is among the units of a cell's connection.
std::size_t DataIndex(const Cell& c) {
    return FallsBack(c) ? vtest::HeloSlot(vtest::kData) : vtest::kData;
}

Expected Expect(const Cell& c) {
    Worker worker = Worker::No;
    if (c.road == Road::Attachment) {
        // A close in the header races the UI thread's last send, which may fail before the
        // worker starts; everywhere else on this road the worker runs.
        worker = c.step.point == Point::HeaderBlock && c.fault == Fault::Close ? Worker::Maybe
                                                                               : Worker::Yes;
    }
    if (Answers(c.step, Command::Quit)) {
        // Delivered at the end of the data: a reply other than 221 is shown, then the success;
        // a quit that gets no reply at all ends the session quietly.
        std::vector<Msg> messages{Msg::SentOk};
        if (c.fault == Fault::UnexpectedCode)
            messages.insert(messages.begin(), Msg::QuitFailed);
        if (c.fault == Fault::UnexpectedCode && c.road == Road::Attachment)
            messages.insert(messages.begin(), Msg::ReplyCode);
        return {messages, true, DataIndex(c) + 2, worker};
    }
    if (Harmless(c.fault) || (c.fault == Fault::UnexpectedCode && !IsCheckpoint(c.step)))
        return {{Msg::SentOk}, true, DataIndex(c) + 2, worker}; // then the end of data and QUIT

    std::vector<Msg> messages{Msg::ReceiveFailed};
    std::size_t units = UnitsThrough(c.step);
    if (c.fault == Fault::UnexpectedCode) {
        ++units; // a refusal is answered with quit
        switch (c.step.answers) {
        case Command::Auth:
            messages = {Msg::AuthNotAccepted};
            break;
        case Command::User:
        case Command::Password:
            messages = {Msg::WrongAccount};
            break;
        default: // the greeting, HELO, MAIL FROM, RCPT TO, DATA, the end of the data
            messages = {Msg::SendFailed};
        }
    }
    return {messages, Answers(c.step, Command::EndOfData), units, worker};
}

// ---- how each fault is played ----

const std::string kUnexpectedCode = "502";

vtest::Action FaultAction(Fault f, const std::string& happy) {
    const std::string code = happy.substr(0, 3);
    switch (f) {
    case Fault::Close:
        return vtest::Close();
    case Fault::Silent:
        return vtest::Silent();
    case Fault::OneBytePieces:
        // A pause between pieces, so that they arrive as separate segments.
        return vtest::Reply(happy, 1, 1ms);
    case Fault::MultiLine:
        return vtest::Reply(code + "-first line\r\n" + code + "-second line\r\n" + happy);
    case Fault::LongReply:
        return vtest::Reply(code + " " + std::string(70 * 1024, 'x') + "\r\n");
    case Fault::EndlessContinuation: {
        std::string lines;
        while (lines.size() < 96 * 1024)
            lines += code + "-and more\r\n";
        return vtest::Reply(lines);
    }
    case Fault::NoDigits:
        return vtest::Reply("hello there\r\n");
    case Fault::Nul:
        return vtest::Reply(code + std::string(" ok\0 more\r\n", 11));
    case Fault::CodeOutOfRange:
        return vtest::Reply("199 not yet\r\n");
    case Fault::UnexpectedCode:
        return vtest::Reply(kUnexpectedCode + " 5.5.2 not expected here\r\n");
    case Fault::StopReading:
    case Fault::NameNeverResolves:
    case Fault::NameResolvesLate:
        break;
    }
    return vtest::Reply(happy);
}

bool UsesRelay(const Cell& c) {
    return InsideTheData(c.step) || c.fault == Fault::StopReading;
}

// A big payload keeps the data flowing when the relay breaks it.
bool BigPayload(const Cell& c) {
    return InsideTheData(c.step);
}

bool NeedsTimeLimit(Fault f) {
    return f == Fault::Silent || f == Fault::StopReading || f == Fault::NameNeverResolves;
}

// Comfortably more than the kernel lets one socket buffer, so that the client is still sending
// when the relay breaks the connection.
std::size_t MoreThanSocketBuffers() {
    std::size_t low = 0, standard = 0, most = 4 * 1024 * 1024;
    std::ifstream("/proc/sys/net/ipv4/tcp_wmem") >> low >> standard >> most;
    return std::max<std::size_t>(8 * 1024 * 1024, 2 * most);
}

std::size_t ThreadCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// The thread count once it has fallen to `count`, or what it still is after a generous while: a
// joined thread is gone for the program, but the kernel may list it for a moment after the join.
std::size_t ThreadCountSettledAt(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::size_t n = ThreadCount();
    while (n > count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        n = ThreadCount();
    }
    return n;
}

// The bytes of a completed DATA unit and its size; the unit is whole when recorded.
struct DataUnit {
    std::string bytes;
    std::uint64_t size = 0;
};

class FaultMatrix : public ::testing::TestWithParam<Cell> {
public:
    static void TearDownTestSuite() {
        s_dir.reset();
        s_bigBody.reset();
        s_reference[0].reset();
        s_reference[1].reset();
    }

protected:
    static void Fill(TestMailer& mailer, Road road, bool big) {
        mailer.FillForm();
        if (road == Road::Text && big)
            mailer.form.m_strBody = BigBody();
        if (road == Road::Attachment)
            mailer.form.m_strAttachPath = AttachmentPath(big);
    }

    // Files and texts are made on first use: under ctest each cell runs in a process of its own.
    static std::string AttachmentPath(bool big) {
        if (!s_dir)
            s_dir = std::make_unique<vtest::TempDir>();
        const auto path = *s_dir / (big ? "big.zip" : "small.zip");
        if (!std::filesystem::exists(path)) {
            std::string bytes(big ? 2 * MoreThanSocketBuffers() : 5000, '\0');
            std::mt19937 rng(6);
            for (auto& b : bytes)
                b = static_cast<char>(rng());
            std::ofstream(path, std::ios::binary) << bytes;
        }
        return path.string();
    }

    static const std::string& BigBody() {
        if (!s_bigBody) {
            s_bigBody = std::make_unique<std::string>();
            for (int i = 0; s_bigBody->size() < MoreThanSocketBuffers(); ++i)
                *s_bigBody += "line " + std::to_string(i) + std::string(60, 'b') + "\r\n";
        }
        return *s_bigBody;
    }

    // The DATA unit of the same mail sent to a server without faults: the whole message.
    static const DataUnit& Reference(Road road) {
        auto& ref = s_reference[road == Road::Text ? 0 : 1];
        if (!ref) {
            ScriptedServer server;
            TestMailer mailer(server.port());
            Fill(mailer, road, false);
            mailer.OnOK();
            if (road == Road::Attachment) {
                EXPECT_TRUE(mailer.WaitForWorker());
            }
            EXPECT_EQ(vtest::Words(mailer.Ids()), vtest::Words({Msg::SentOk}))
                << "the reference run failed";
            EXPECT_TRUE(server.WaitForClientClose(5s));
            const auto units = server.Units();
            const auto sizes = server.DataUnitSizes();
            ref = std::make_unique<DataUnit>();
            if (units.size() > vtest::kData && sizes.size() == 1)
                *ref = {units[vtest::kData], sizes[0]};
        }
        return *ref;
    }

    static std::unique_ptr<vtest::TempDir> s_dir;
    static std::unique_ptr<std::string> s_bigBody;
    static std::unique_ptr<DataUnit> s_reference[2];
};

std::unique_ptr<vtest::TempDir> FaultMatrix::s_dir;
std::unique_ptr<std::string> FaultMatrix::s_bigBody;
std::unique_ptr<DataUnit> FaultMatrix::s_reference[2];

void ExpectMessages(const TestMailer& mailer, const Cell& c, const Expected& want) {
    EXPECT_EQ(vtest::Words(mailer.Ids()), vtest::Words(want.messages));
    const auto notices = mailer.Notices();
    if (notices.empty())
        return;
    if (notices[0].id == Msg::ReplyCode) {
        EXPECT_EQ(notices[0].argument, kUnexpectedCode) << "the box shows the server's code";
    }
    // Oversized and garbled replies are judged as such at once, not left to the time limit; a
    // silent name server is given up on when the connect limit passes.
    // (A garbled reply to quit is no failure: the mail was delivered.)
    const bool failed = notices[0].id == Msg::ReceiveFailed;
    std::optional<mail::Cause> cause;
    if (failed &&
        (c.fault == Fault::LongReply || c.fault == Fault::EndlessContinuation ||
         c.fault == Fault::NoDigits || c.fault == Fault::Nul || c.fault == Fault::CodeOutOfRange))
        cause = mail::Cause::NotSmtp;
    if (failed && c.fault == Fault::NameNeverResolves)
        cause = mail::Cause::TimedOut;
    if (cause) {
        EXPECT_EQ(notices[0].cause, *cause) << mail::NoticeDetail(notices[0]);
    }
    // The form was kept alive meanwhile: the wait hook ran while the lookup waited.
    if (IsNameFault(c.fault)) {
        EXPECT_GE(mailer.WaitHookCalls(), 1);
    }
}

// Connect: nothing listens (refused), or a listener whose queue is full lets the connect hang.
void RunConnectCell(const Cell& c, const Expected& want) {
    vtest::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(listener);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    vtest::UniqueFd filler;
    if (c.fault == Fault::Silent) {
        // A backlog of 0 takes one connection; further SYNs are dropped and the connect waits.
        ASSERT_EQ(::listen(listener.get(), 0), 0);
        filler = vtest::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
    }
    TestMailer mailer(TestMailer::Direct{}, ntohs(address.sin_port));
    mail::Timeouts t;
    t.connect = c.fault == Fault::Silent ? 200ms : 5s;
    mailer.core.SetTimeoutsForTesting(t);
    mailer.FillForm();
    mailer.OnOK();
    EXPECT_EQ(vtest::Words(mailer.Ids()), vtest::Words(want.messages));
    EXPECT_TRUE(mailer.SessionClosed());
}

TEST_P(FaultMatrix, UserSeesTheRuleSessionEndsCleanAndDataEndsOnlyWhole) {
    const Cell c = GetParam();
    const Expected want = Expect(c);
    const DataUnit* reference = BigPayload(c) ? nullptr : &Reference(c.road);
    const std::size_t threadsBefore = ThreadCount();
    if (c.step.point == Point::Connect && !IsNameFault(c.fault)) {
        RunConnectCell(c, want);
    } else {
        auto script = FallsBack(c) ? vtest::HeloOnlyScript() : vtest::HappyScript();
        if (auto slot = ReplySlot(c.step); slot && !UsesRelay(c))
            script[*slot] = FaultAction(c.fault, script[*slot].text);
        ScriptedServer server(script);
        server.SetRecordData(!BigPayload(c));
        std::optional<FaultProxy> relay;
        if (UsesRelay(c)) {
            // Header block: early in the data; attachment data: 1 MB in, amid the base64; end of
            // data: everything but the final ".\r\n".
            std::uint64_t cut = 100;
            if (c.step.point == Point::AttachmentData)
                cut = 1000 * 1000;
            if (Answers(c.step, Command::EndOfData))
                cut = reference->size - 3;
            relay.emplace(
                server.port(),
                c.fault == Fault::Close ? FaultProxy::Fault::Close : FaultProxy::Fault::Hold, cut);
        }
        TestMailer mailer(relay ? relay->port() : server.port());
        if (NeedsTimeLimit(c.fault)) {
            mail::Timeouts t;
            t.connect = c.fault == Fault::NameNeverResolves ? 200ms : 5s;
            t.reply = t.endOfData = t.quit = 200ms;
            mailer.core.SetTimeoutsForTesting(t);
        }
        if (IsNameFault(c.fault)) {
            mailer.nameServer = c.fault == Fault::NameNeverResolves ? TestMailer::NameServer::Silent
                                                                    : TestMailer::NameServer::Slow;
        }
        Fill(mailer, c.road, BigPayload(c));
        mailer.OnOK();

        if (c.road == Road::Attachment) {
            // The total is set when the worker starts.
            const bool started = mailer.core.AttachmentBytesTotal() > 0;
            if (want.worker == Worker::Yes) {
                EXPECT_TRUE(started) << "the worker did not start";
            }
            if (started) {
                EXPECT_TRUE(mailer.WaitForWorker(30s)) << "the worker did not finish";
            }
        }
        EXPECT_FALSE(mailer.core.IsSending());
        ExpectMessages(mailer, c, want);
        EXPECT_TRUE(mailer.SessionClosed());

        // Whatever the client queued before it gave up now reaches the server: had it ended the
        // data after a partial message, the server would see a short DATA unit.
        if (relay && c.fault == Fault::StopReading)
            relay->Resume();
        if (c.step.point == Point::Connect && want.units == 0) {
            EXPECT_EQ(server.ConnectionCount(), 0u) << "connected without an address";
        } else {
            ASSERT_TRUE(server.WaitForClientClose(10s));
            EXPECT_EQ(server.Units().size(), want.units);
            const auto sizes = server.DataUnitSizes();
            if (want.wholeMessage) {
                ASSERT_EQ(sizes, std::vector<std::uint64_t>{reference->size});
                EXPECT_EQ(server.Units().at(DataIndex(c)), reference->bytes);
            } else {
                EXPECT_TRUE(sizes.empty())
                    << "the data was ended after " << sizes.at(0) << " bytes";
            }
        }
    }
    EXPECT_EQ(ThreadCountSettledAt(threadsBefore), threadsBefore) << "a thread outlived the send";
}

std::vector<Cell> AllCells() {
    std::vector<Cell> cells;
    for (Road road : {Road::Text, Road::Attachment})
        for (const Step& step : kSteps)
            for (int f = 0; f <= static_cast<int>(Fault::NameResolvesLate); ++f) {
                const Cell c{road, step, static_cast<Fault>(f)};
                if (Applies(c))
                    cells.push_back(c);
            }
    return cells;
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, ::testing::ValuesIn(AllCells()),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                             const Cell& c = info.param;
                             return std::string(Name(c.road)) + "_" + Name(c.step) + "_" +
                                    Name(c.fault);
                         });

} // namespace
