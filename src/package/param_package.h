#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A scrambled, base64-encoded container of named records, handed to the
// program in --param. The program only reads packages.
class ParamPackage {
public:
    ParamPackage();

    // Decodes, unscrambles and checks `text`; a valid package becomes this
    // object's content. 0 for a null or empty text (or no memory for the
    // decoded bytes), 1 otherwise, valid package or not.
    int Load(const char* text, size_t length);

    // The first record with this tag whose name is a leading part of `name`.
    bool FindRecord(const char tag[4], const char* name, const uint8_t** data,
                    uint32_t* length) const;

    uint32_t RecordCount() const { return recordCount_; }

private:
    uint32_t recordCount_ = 0;
    std::vector<uint8_t> image_;
};
