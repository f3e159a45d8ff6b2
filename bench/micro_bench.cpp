// Micro-benchmarks of the two inner loops of a session: the base64 encoder (login lines, the
// program's 1000-byte pieces, and the worker's large batches) and the reply reader.
#include "mail/message/base64.h"
#include "mail/session/reply.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<unsigned char> RandomBytes(std::size_t n) {
    std::mt19937 rng(1);
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

// The string-returning form, as the login lines use it.
void BM_Base64Encode(benchmark::State& state) {
    const auto in = RandomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string out = mail::Base64Encode(in.data(), static_cast<std::int32_t>(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(8)->Arg(24)->Arg(57)->Arg(1000);

// Into a reused buffer, as the attachment worker uses it: 1000-byte pieces and a whole batch.
void BM_Base64EncodeTo(benchmark::State& state) {
    const auto in = RandomBytes(static_cast<std::size_t>(state.range(0)));
    std::vector<char> out(mail::Base64EncodedSize(in.size()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(mail::Base64EncodeTo(in.data(), in.size(), out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Base64EncodeTo)->Arg(1000)->Arg(57 * 9000);

void FeedWhole(benchmark::State& state, std::string_view reply) {
    for (auto _ : state) {
        mail::ReplyReader reader; // one a reply, as the session has it
        benchmark::DoNotOptimize(reader.Feed(reply));
        if (reader.state() != mail::ReplyReader::State::Complete)
            state.SkipWithError("reply not complete");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(reply.size()));
}

void BM_ReplySingleLine(benchmark::State& state) {
    FeedWhole(state, "250 2.0.0 Ok: queued as 4F2A1B3C\r\n");
}
BENCHMARK(BM_ReplySingleLine);

constexpr std::string_view kEhloReply = "250-smtp.example.com Hello client.example\r\n"
                                        "250-PIPELINING\r\n"
                                        "250-SIZE 73400320\r\n"
                                        "250-STARTTLS\r\n"
                                        "250-AUTH LOGIN PLAIN\r\n"
                                        "250-AUTH=LOGIN PLAIN\r\n"
                                        "250-8BITMIME\r\n"
                                        "250 SMTPUTF8\r\n";

void BM_ReplyMultiLine(benchmark::State& state) {
    FeedWhole(state, kEhloReply);
}
BENCHMARK(BM_ReplyMultiLine);

// The same reply arriving a few bytes at a time, as a slow link delivers it.
void BM_ReplyMultiLineInPieces(benchmark::State& state) {
    const std::size_t piece = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        mail::ReplyReader reader;
        for (std::size_t at = 0; at < kEhloReply.size(); at += piece)
            benchmark::DoNotOptimize(reader.Feed(kEhloReply.substr(at, piece)));
        if (reader.state() != mail::ReplyReader::State::Complete)
            state.SkipWithError("reply not complete");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kEhloReply.size()));
}
BENCHMARK(BM_ReplyMultiLineInPieces)->Arg(1)->Arg(7);

} // namespace
