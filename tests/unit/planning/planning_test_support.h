#pragma once
// Packages as text: "name[:version][@build]" (version 1.0 unless given, "*" a placeholder, "#hex" raw) and
// words: >need ^provision ~conflict (as "name:min:max:priority"), =arch, bundle, off, !u !e !d (the pending
// action), in=bundle. Members follow "|"; a catalogue separates its records with ",".

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pdb/version.h"
#include "planning/package_record.h"
#include "run/installer.h"
#include "storage/flash_device.h"
#include "version_text.h"

namespace velmora::planning_test {

inline Version v(std::string t) { return t[0] == '#' ? std::stoul(&t[1], nullptr, 16) : parseVersionText(t).value(); }
inline Dependency dep(const std::string& text) { std::string e; return parseDependencyText(text, true, e).value(); }

inline std::unique_ptr<PackageRecord> make(const std::string& notation) {
    auto p = std::make_unique<PackageRecord>();
    std::istringstream parts(notation); std::string part, w; std::getline(parts, part, '|');
    std::istringstream words(part); words >> w;
    const std::size_t at = w.find('@'), colon = w.find(':');
    const std::string version = colon == std::string::npos ? "1.0" : w.substr(colon + 1, at - colon - 1);
    const bool placeholder = version == "*";
    p->name = w.substr(0, std::min(at, colon)), p->version = placeholder ? kPlaceholderMark : v(version);
    p->buildTime = at != std::string::npos ? std::stoul(w.substr(at + 1)) : placeholder ? kPlaceholderMark : 0;
    for (p->arch = "powerpc"; words >> w;) {
        const std::string rest = w.substr(1);
        auto* list = w[0] == '>' ? &p->deps : w[0] == '^' ? &p->provides : w[0] == '~' ? &p->conflicts : nullptr;
        if (list) list->push_back(dep(rest));
        if (w[0] == '=') p->arch = rest;
        p->isBundle |= w == "bundle", p->disabled |= w == "off";
        if (w[0] == '!') p->action = rest == "u" ? Uninstall : rest == "e" ? Enable : Disable;
        if (w.rfind("in=", 0) == 0) p->bundleRef.name = w.substr(3);
    }
    while (std::getline(parts, part, '|')) p->members.push_back(make(part)), p->isBundle = true;
    return p;
}

// Labels or messages joined by sep.
inline std::string text(const std::string& s) { return s; }
template <typename P> std::string text(const P& p) { return recordLabel(*p); }
template <typename List> std::string join(const List& list, const char* sep = " ") {
    std::string out;
    for (const auto& p : list) out += (out.empty() ? "" : sep) + text(p);
    return out;
}

// An empty catalogue, flash devices absent unless a test sets devices_.
class Planning : public ::testing::Test {
protected:
    void SetUp() override { reset(), setFlashDeviceSubstitute(&devices_); }
    void TearDown() override { reset(), setFlashDeviceSubstitute(nullptr); }
    static void reset() {
        Installer& i = Installer::instance();
        i.packages.clear(), i.messages.clear(), i.status.clear(), i.quiet = false, i.arch = "powerpc";
    }
    static void add(const std::string& c) {
        std::istringstream in(c);
        for (std::string r; std::getline(in, r, ',');) installer().packages.push_back(make(r));
    }
    static Installer& installer() { return Installer::instance(); }
    static std::string messages() { return join(installer().messages, "; "); }
    FlashDeviceSubstitute devices_;
};

}  // namespace velmora::planning_test
