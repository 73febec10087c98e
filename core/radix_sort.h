// sortByKey: orders items by a 64-bit key of each (equal keys in any order)
// through an LSD radix sort, a byte at a time, skipping each byte that is
// the same in every key.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// key(item) gives the item's std::uint64_t key; scratch is work space.
template <class Item, class Key>
void sortByKey(std::vector<Item>& items, std::vector<Item>& scratch, Key&& key)
{
    std::array<std::array<std::size_t, 257>, 8> counts{};
    for (const Item& item : items) {
        const std::uint64_t k = key(item);
        for (int d = 0; d < 8; ++d) ++counts[d][((k >> (8 * d)) & 255) + 1];
    }
    const std::size_t n = items.size();
    scratch.resize(n);
    for (int d = 0; d < 8; ++d) {
        auto& c = counts[d];
        if (std::find(c.begin() + 1, c.end(), n) != c.end()) continue;  // one value of the byte
        for (int b = 0; b < 256; ++b) c[b + 1] += c[b];
        for (const Item& item : items) scratch[c[(key(item) >> (8 * d)) & 255]++] = item;
        items.swap(scratch);
    }
}
