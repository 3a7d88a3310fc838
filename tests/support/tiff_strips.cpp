#include "tiff_strips.h"

#include <map>

namespace testing_support {

TiffStrips read_tiff_strips(const std::vector<std::uint8_t>& f) {
  TiffStrips t;
  if (f.size() < 8 || (f[0] != f[1]) || (f[0] != 'I' && f[0] != 'M')) return t;
  const bool be = f[0] == 'M';
  auto get = [&](std::size_t at, int n) -> std::uint32_t {
    if (at + static_cast<std::size_t>(n) > f.size()) return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      const std::uint32_t b = f[at + static_cast<std::size_t>(i)];
      v = be ? (v << 8) | b : v | b << (8 * i);
    }
    return v;
  };
  const std::uint32_t ifd = get(4, 4);
  const std::uint32_t count = get(ifd, 2);
  std::map<int, std::vector<std::uint32_t>> tags;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t e = ifd + 2 + 12 * static_cast<std::size_t>(i);
    const int tag = static_cast<int>(get(e, 2)), type = static_cast<int>(get(e + 2, 2));
    const std::uint32_t n = get(e + 4, 4);
    const int size = type == 3 ? 2 : type == 4 ? 4 : 0;
    if (size == 0 || n > (1u << 20)) continue;
    const std::size_t at = static_cast<std::size_t>(n) * size <= 4 ? e + 8 : get(e + 8, 4);
    for (std::uint32_t k = 0; k < n; ++k) tags[tag].push_back(get(at + k * size, size));
  }
  auto one = [&](int tag, std::uint32_t fallback) {
    return tags.count(tag) ? tags[tag][0] : fallback;
  };
  t.width = static_cast<int>(one(256, 0));
  t.height = static_cast<int>(one(257, 0));
  t.bits = static_cast<int>(one(258, 1));
  t.compression = static_cast<int>(one(259, 1));
  t.photometric = static_cast<int>(one(262, 0));
  t.fill_order = static_cast<int>(one(266, 1));
  t.orientation = static_cast<int>(one(274, 1));
  t.samples = static_cast<int>(one(277, 1));
  t.rows_per_strip = static_cast<int>(one(278, static_cast<std::uint32_t>(t.height)));
  t.t4_options = one(292, 0);
  const auto& offsets = tags[273];
  const auto& counts = tags[279];
  if (offsets.empty() || offsets.size() != counts.size()) return t;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    if (offsets[i] > f.size() || counts[i] > f.size() - offsets[i]) return t;
    t.strips.emplace_back(f.begin() + offsets[i], f.begin() + offsets[i] + counts[i]);
  }
  t.ok = true;
  return t;
}

std::vector<std::uint8_t> make_tiff(const TiffStrips& t) {
  std::vector<std::uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put = [&](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) f.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  const std::uint32_t n_strips = static_cast<std::uint32_t>(t.strips.size());
  struct Entry {
    int tag, type;
    std::uint32_t value;
  };
  const std::uint32_t entries = 12;
  const std::uint32_t arrays = 8 + 2 + 12 * entries + 4;
  std::uint32_t data = arrays + 8 * n_strips;
  const Entry e[entries] = {
      {256, 4, static_cast<std::uint32_t>(t.width)},
      {257, 4, static_cast<std::uint32_t>(t.height)},
      {258, 3, static_cast<std::uint32_t>(t.bits)},
      {259, 3, static_cast<std::uint32_t>(t.compression)},
      {262, 3, static_cast<std::uint32_t>(t.photometric)},
      {266, 3, static_cast<std::uint32_t>(t.fill_order)},
      {273, 4, n_strips == 1 ? data : arrays},
      {277, 3, static_cast<std::uint32_t>(t.samples)},
      {278, 4, static_cast<std::uint32_t>(t.rows_per_strip)},
      {279, 4,
       n_strips == 1 ? static_cast<std::uint32_t>(t.strips[0].size()) : arrays + 4 * n_strips},
      {284, 3, 1},
      // T4Options or T6Options for fax strips, else ResolutionUnit none.
      {t.compression == 4   ? 293
       : t.compression == 3 ? 292
                            : 296,
       t.compression >= 3 && t.compression <= 4 ? 4 : 3,
       t.compression >= 3 && t.compression <= 4 ? t.t4_options : 1},
  };
  put(entries, 2);
  for (const Entry& x : e) {
    put(static_cast<std::uint32_t>(x.tag), 2);
    put(static_cast<std::uint32_t>(x.type), 2);
    put(x.tag == 273 || x.tag == 279 ? n_strips : 1, 4);
    put(x.value, 4);
  }
  put(0, 4);
  for (const auto& s : t.strips) {
    put(data, 4);
    data += static_cast<std::uint32_t>(s.size());
  }
  for (const auto& s : t.strips) put(static_cast<std::uint32_t>(s.size()), 4);
  for (const auto& s : t.strips) f.insert(f.end(), s.begin(), s.end());
  return f;
}

} // namespace testing_support
