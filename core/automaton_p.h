#pragma once

// The compiled list, shared by the matcher and the scan. Not part of core's interface.

#include "functionmatcher.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace morvane {

// Upper case of every BMP code unit (from 0x80), as UTF-8 bytes of UTF-16 code units.
struct FoldTable
{
    std::vector<uint32_t> entry;      // offset << 4 | length, into bytes
    std::vector<unsigned char> bytes; //
    std::array<bool, 256> slowLead{}; // a lead byte some of whose characters change
    std::vector<bool> changes;        // per BMP code unit: its upper case differs
    // Per 3-byte lead (low four bits) and second byte (low six): none of those 64 characters
    // changes, so the scan may step their bytes as they are ('，', '：' and the like).
    std::array<bool, 16 * 64> caseless3{};
    int maxShrink = 1; // original bytes per folded byte, at most
    static const FoldTable &instance();
};

struct FunctionMatcher::Automaton
{
    // Nodes in breadth-first order; the children of n are [firstChild[n], firstChild[n + 1]).
    std::vector<unsigned char> label;
    std::vector<int32_t> firstChild;
    std::vector<int32_t> fail;
    std::vector<int32_t> output;     // this node or the nearest down the fail chain ending an entry
    std::vector<int32_t> firstEntry; // entries ending here, chained through nextEntry
    std::vector<int32_t> nextEntry;
    std::vector<int32_t> entryNode;
    std::vector<int32_t> entryBytes; // length of the folded entry in bytes
    std::vector<char> emptyEntry;    // entries that are empty: present in every text
    int terminalCount = 0;
    int longestBytes = 0;

    // Byte classes: 0 for bytes no entry has, one class per byte entries use, then slowClass
    // for lead bytes of text characters that must be upper-cased first.
    std::array<uint16_t, 256> patternClass{};
    std::array<uint16_t, 256> textClass{};
    uint32_t stride = 1;

    // Dense rows for the first denseCount nodes; a code is row * stride for those (rows of
    // nodes without output first, those with output from threshold on), slowCode for
    // "upper-case this character", and slowCode + 1 + node for the deeper nodes kept sparse.
    // Codes from threshold, a power of two, on need care.
    std::unique_ptr<uint32_t[]> table; // rows that no code reaches are left unwritten
    std::vector<int32_t> rowOf;
    std::vector<int32_t> nodeOfRow;
    int32_t denseCount = 0;
    uint32_t threshold = 0;
    uint32_t slowCode = 0;

    int32_t nodeOf(uint32_t code) const
    {
        return code < slowCode ? nodeOfRow[code / stride] : int32_t(code - slowCode - 1);
    }
    uint32_t codeOf(int32_t node) const
    {
        return node < denseCount ? uint32_t(rowOf[size_t(node)]) * stride
                                 : slowCode + 1 + uint32_t(node);
    }
    int32_t childOf(int32_t node, unsigned char byte) const;
    int32_t next(int32_t node, unsigned char byte) const
    {
        for (;;) {
            if (node < denseCount)
                return nodeOf(table[size_t(codeOf(node) + patternClass[byte])]);
            const int32_t c = childOf(node, byte);
            if (c >= 0)
                return c;
            node = fail[size_t(node)];
        }
    }
};

// UTF-8 length of a sequence from its lead byte (1 for ASCII and for stray bytes).
inline int utf8Length(unsigned char lead)
{
    return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

} // namespace morvane
