// Expands a template of about 1 MiB of HTML with a tag every few hundred
// bytes and compares the time with a plain copy of the same bytes made in
// the same run. Prints the throughput of each and the ratio engine / copy.
//
//   build-tpl/bench/bench_page_producer [repetitions]
#include "web/PageProducer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qeltv;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kTemplateBytes = 1 << 20;
constexpr int kDefaultRepetitions = 30;

// HTML lines much like the pages' own, a tag after every few lines.
std::vector<std::string> makeTemplate() {
    const char* const filler[] = {
        "<tr class=\"tablerow\"><td>capture_20240101203000.avi</td><td>1.234.567</td></tr>",
        "<p>Channel navigation: <a href=\"index.html?action=nextchannel\">next &gt;</a></p>",
        "  <td align=left valign=top>&nbsp;&nbsp;&nbsp;</td> <!-- spacer cell -->",
        "<TABLE class=\"table\" border=\"0\" cellspacing=0 cellpadding=2>",
    };
    const char* const tags[] = {
        "<param name=\"FileName\" value=\"<#WebcastURL>\">",
        "<#Include resourcename=FOOTER_HTML>",
        "<p><#WebcastStatus></p>",
        "<embed src=\"<#WebcastURL>\" Name=\"My+Stream\" ShowControls=\"1\">",
    };
    std::vector<std::string> lines;
    std::size_t bytes = 0;
    for (std::size_t i = 0; bytes < kTemplateBytes; ++i) {
        std::string line = filler[i % std::size(filler)];
        if (i % 4 == 3)
            line += tags[(i / 4) % std::size(tags)];
        bytes += line.size() + 2;
        lines.push_back(std::move(line));
    }
    return lines;
}

template <typename Work> double bestSeconds(int repetitions, Work&& work) {
    double best = 1e9;
    for (int i = 0; i < repetitions; ++i) {
        const auto start = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRepetitions;

    TCustomPageProducer producer;
    std::size_t tagCount = 0;
    producer.setTagHandler([&](TCustomPageProducer&, TagKind, std::string_view name,
                               const TagParameters& parameters, std::string& replacement) {
        ++tagCount;
        if (name == "WebcastURL")
            replacement = "http://192.168.1.20:8080";
        else if (name == "Include")
            replacement = parameters.value("resourcename");
        else
            replacement = "<p>Webcast is active.</p>";
    });
    producer.templateLines() = makeTemplate();
    const std::string text = producer.templateText();

    std::size_t sink = 0; // keeps the results alive for the optimiser
    const double copySeconds = bestSeconds(repetitions, [&] {
        const std::string copy(text);
        sink += copy.size() + static_cast<unsigned char>(copy[copy.size() / 2]);
    });
    const double stringSeconds =
        bestSeconds(repetitions, [&] { sink += producer.contentFromString(text).size(); });
    tagCount = 0;
    const double contentSeconds =
        bestSeconds(repetitions, [&] { sink += producer.content().size(); });
    const std::size_t tagsPerRun = tagCount / static_cast<std::size_t>(repetitions);

    const double mebibytes = static_cast<double>(text.size()) / (1 << 20);
    std::printf("machine: %u cores\n", std::thread::hardware_concurrency());
    std::printf("baseline: std::string copy(text) of the same %zu bytes, in this process\n",
                text.size());
    std::printf("template: %zu bytes, %zu tags (one per %zu bytes), best of %d runs\n", text.size(),
                tagsPerRun, text.size() / std::max<std::size_t>(tagsPerRun, 1), repetitions);
    std::printf("plain copy          %9.1f MiB/s  %8.3f ms\n", mebibytes / copySeconds,
                copySeconds * 1e3);
    std::printf("contentFromString   %9.1f MiB/s  %8.3f ms  ratio %.2f x copy time\n",
                mebibytes / stringSeconds, stringSeconds * 1e3, stringSeconds / copySeconds);
    std::printf("content (template)  %9.1f MiB/s  %8.3f ms  ratio %.2f x copy time\n",
                mebibytes / contentSeconds, contentSeconds * 1e3, contentSeconds / copySeconds);
    std::printf("ratio content/copy: %.2f\n", contentSeconds / copySeconds);
    return sink == 0 ? 1 : 0;
}
