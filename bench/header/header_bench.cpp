// Times the decoding of hostile header fields: encoded-word openers without an end, many
// adjacent words, words of alternating charsets, blanks inside would-be words, long folded
// fields, raw ISO-2022-JP changing sets every few bytes, long address and parameter lists. Each
// shape is built at the sizes asked for and decoded three ways: the field value alone, the header
// texts of a message (subject, sender), and the whole message with the shape also as an
// attachment's file name. The times should grow about linearly with the size.
//   korv_bench_header [KB ...]        default 64 256 1024
//   KORV_BENCH_SKIP_AFTER=SECONDS     skips the larger sizes of a shape that took longer
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "mail/mime/header_text.h"
#include "mail/mime/mime_message.h"

using Clock = std::chrono::steady_clock;
using namespace korv::mail;

namespace {

struct Shape {
    const char* name;
    std::function<std::string(std::size_t)> build;  // a field value of about that many bytes
    bool parameters = false;  // in the message: the parameter list of the attachment's part
};

std::string repeated(const std::string& unit, std::size_t bytes, const std::string& tail = "") {
    std::string out;
    out.reserve(bytes + unit.size() + tail.size());
    while (out.size() < bytes) out += unit;
    return out + tail;
}

// Folded like a mailer folds: a line break and a blank every ~70 bytes.
std::string folded(const std::string& unit, std::size_t bytes) {
    std::string out;
    std::size_t line = 0;
    while (out.size() < bytes) {
        if (line + unit.size() > 70) {
            out += "\r\n ";
            line = 1;
        }
        out += unit;
        line += unit.size();
    }
    return out;
}

const std::vector<Shape>& shapes() {
    static const std::vector<Shape> all = {
        {"bare openers =?", [](std::size_t n) { return repeated("=?", n); }},
        {"open words =?utf-8?B?", [](std::size_t n) { return repeated("=?utf-8?B?", n); }},
        {"unended words =?a?B?x", [](std::size_t n) { return repeated("=?a?B?x", n); }},
        {"adjacent words", [](std::size_t n) { return repeated("=?UTF-8?B?5YaZ?=", n); }},
        {"alternating charsets",
         [](std::size_t n) {
             return repeated("=?UTF-8?B?5YaZ?= =?ISO-2022-JP?B?GyRCJUYbKEI=?= ", n);
         }},
        {"blanks inside, one end at the tail",
         [](std::size_t n) { return repeated("=?a?Q?x ", n, "?="); }},
        {"folded words", [](std::size_t n) { return folded("=?UTF-8?Q?=E5=86=99?=", n); }},
        {"adjacent ISO-2022-JP words",
         [](std::size_t n) { return repeated("=?ISO-2022-JP?B?GyRCJUYbKEI=?=", n); }},
        {"raw ISO-2022-JP-2004 runs by turns",
         [](std::size_t n) { return repeated("\x1B$(Q\x2D\x21\x7A\x37\x1B(Ba", n); }},
        {"address list a@b,", [](std::size_t n) { return repeated("a@b,", n); }},
        {"parameters without value",
         [](std::size_t n) { return repeated("; a", n, "; filename=x.bin"); }, true},
    };
    return all;
}

double secondsOf(const std::function<void()>& f) {
    std::vector<double> runs;
    for (int i = 0; i < 3; ++i) {
        auto start = Clock::now();
        f();
        runs.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (runs.back() > 2.0) break;  // one run is enough for a slow case
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

std::string message(const std::string& value, bool parameters) {
    return "From: " + value + " <a@example.jp>\r\nSubject: " + value +
           "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
           "--B\r\nContent-Type: text/plain\r\n\r\nbody\r\n--B\r\n"
           "Content-Type: application/octet-stream\r\n"
           "Content-Disposition: attachment" +
           (parameters ? value : "; filename=\"" + value + "\"") + "\r\n\r\nxyz\r\n--B--\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10) * 1024);
    if (sizes.empty()) sizes = {64 * 1024, 256 * 1024, 1024 * 1024};
    double skipAfter = 1e9;
    if (const char* s = std::getenv("KORV_BENCH_SKIP_AFTER")) skipAfter = std::atof(s);

    ensureMimeInitialised();
    std::printf("%-36s %8s %12s %12s %12s\n", "shape", "KB", "value s", "header s", "message s");
    std::size_t sink = 0;
    for (const Shape& shape : shapes()) {
        bool skip = false;
        for (std::size_t size : sizes) {
            if (skip) {
                std::printf("%-36s %8zu %12s %12s %12s\n", shape.name, size / 1024, "skipped",
                            "skipped", "skipped");
                continue;
            }
            std::string value = shape.build(size);
            std::string raw = message(value, shape.parameters);
            double v = secondsOf([&] { sink += decodeHeaderText(value).size(); });
            double h = secondsOf([&] { sink += decodeHeaderTexts(raw).subject.size(); });
            double m = secondsOf([&] { sink += decodeMessage(raw, "").texts.from.size(); });
            std::printf("%-36s %8zu %12.4f %12.4f %12.4f\n", shape.name, size / 1024, v, h, m);
            std::fflush(stdout);
            if (std::max({v, h, m}) > skipAfter) skip = true;
        }
    }
    // Keeps the decoding from being optimised away.
    std::printf("(%zu bytes decoded)\n", sink);
    return 0;
}
