#pragma once
// Where the tool sends the files of a package it reads with the
// installer's readers: nowhere (a check), or into a directory.

#include <cstdint>
#include <string>
#include <vector>

#include "package/package_check.h"

namespace velmora {

// Reads every file's content, for every processor group, and keeps none:
// a package is good only when every router would take it.
class DiscardSink : public PackageSink {
public:
    bool takesGroup(unsigned group) override { return group <= 4; }  // no router has another
    int create(const std::string& belowFlash, std::uint32_t size, std::uint16_t mode) override;
};

// Places the files as a router of processor group `group` (0: none) would,
// with DIR standing for /flash.
class TreeSink : public PackageSink {
public:
    TreeSink(std::string root, unsigned group) : root_(std::move(root)), group_(group) {}
    bool takesGroup(unsigned group) override { return group == group_; }
    int create(const std::string& belowFlash, std::uint32_t size, std::uint16_t mode) override;
    // What was written, below /flash, in order.
    const std::vector<std::string>& written() const { return written_; }

private:
    std::string root_;
    unsigned group_;
    std::vector<std::string> written_;
};

}  // namespace velmora
