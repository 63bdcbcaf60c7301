// tarnel-frame-sums: how often a frame spoilt on the cable still passes its
// two 16-bit sums (frame_checksum), the only guard on the data. Random
// payloads are spoilt as the faults of a noisy cable spoil what the
// receiver takes (nibble by nibble, low nibble first), and the receiver's
// own test is applied: the sums of the payload it took against the four
// checksum bytes it took.
//
//   tarnel-frame-sums [--trials N] [--seed S]
//
// For each way of spoiling and two payload sizes (4096, a full data frame,
// and 32, a command): trials, frames passed although spoilt, and the rate.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "link/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Nibbles = std::vector<uint8_t>;
using Rng = std::mt19937_64;

Nibbles to_nibbles(const Bytes& b) {
  Nibbles n;
  n.reserve(b.size() * 2);
  for (uint8_t x : b) {
    n.push_back(x & 0x0F);
    n.push_back(x >> 4);
  }
  return n;
}

Bytes to_bytes(const Nibbles& n) {
  Bytes b(n.size() / 2);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(n[2 * i] | n[2 * i + 1] << 4);
  return b;
}

/// What the receiver takes for payload `length` bytes: the payload followed
/// by the four checksum bytes.
Bytes frame_image(const Bytes& payload) {
  Bytes image = payload;
  const uint32_t sum = tarnel::frame_checksum(payload.data(), payload.size());
  for (int i = 0; i < 4; ++i) image.push_back(static_cast<uint8_t>(sum >> (8 * i)));
  return image;
}

/// The receiver's test on what it took: true when the frame is accepted.
bool passes(const Bytes& image, size_t length) {
  uint32_t sum = 0;
  for (int i = 0; i < 4; ++i) sum |= static_cast<uint32_t>(image[length + i]) << (8 * i);
  return tarnel::frame_checksum(image.data(), length) == sum;
}

struct Model {
  const char* name;
  // Spoils the image (payload of `length` bytes and its sums) in place; the
  // length the receiver takes goes to *taken. False when the receiver
  // cannot take such a frame at all (it then fails for certain).
  bool (*spoil)(Bytes& image, size_t length, size_t* taken, Rng& rng);
};

size_t pick(Rng& rng, size_t n) { return static_cast<size_t>(rng() % n); }

bool flip_bit(Bytes& image, size_t, size_t*, Rng& rng) {
  image[pick(rng, image.size())] ^= static_cast<uint8_t>(1u << pick(rng, 8));
  return true;
}

bool flip_two_bits(Bytes& image, size_t, size_t*, Rng& rng) {
  const size_t a = pick(rng, image.size() * 8);
  size_t b = pick(rng, image.size() * 8 - 1);
  if (b >= a) ++b;
  image[a / 8] ^= static_cast<uint8_t>(1u << (a % 8));
  image[b / 8] ^= static_cast<uint8_t>(1u << (b % 8));
  return true;
}

// The same nibble line bit wrong in two bytes 512 apart (or a multiple):
// the case two flips can cancel in both sums.
bool flip_bit_pair_512(Bytes& image, size_t length, size_t*, Rng& rng) {
  if (length < 513) return false;
  const size_t bit = pick(rng, 8);
  const size_t step = 65536 >> bit;  // 2^bit * step = 65536
  if (step >= length) return false;
  const size_t a = pick(rng, length - step);
  image[a] ^= static_cast<uint8_t>(1u << bit);
  image[a + step] ^= static_cast<uint8_t>(1u << bit);
  return true;
}

bool wrong_nibble(Bytes& image, size_t, size_t*, Rng& rng) {
  Nibbles n = to_nibbles(image);
  const size_t i = pick(rng, n.size());
  n[i] = static_cast<uint8_t>((n[i] + 1 + pick(rng, 15)) & 0x0F);
  image = to_bytes(n);
  return true;
}

bool noise_burst(Bytes& image, size_t, size_t*, Rng& rng) {
  Nibbles n = to_nibbles(image);
  const size_t run = 2 + pick(rng, 7);
  const size_t at = pick(rng, n.size() - run + 1);
  for (size_t k = 0; k < run; ++k) n[at + k] = static_cast<uint8_t>(rng() & 0x0F);
  image = to_bytes(n);
  return true;
}

// A handshake edge lost: one nibble never taken, every later one a place
// early; the receiver's last nibble is whatever the lines show after the
// frame (taken as 0 here, the lines at rest).
bool lost_nibble(Bytes& image, size_t, size_t*, Rng& rng) {
  Nibbles n = to_nibbles(image);
  n.erase(n.begin() + static_cast<long>(pick(rng, n.size())));
  n.push_back(0);
  image = to_bytes(n);
  return true;
}

// A handshake edge added: one nibble taken twice, the frame's last nibble
// never taken.
bool extra_nibble(Bytes& image, size_t, size_t*, Rng& rng) {
  Nibbles n = to_nibbles(image);
  const size_t i = pick(rng, n.size());
  n.insert(n.begin() + static_cast<long>(i), n[i]);
  n.pop_back();
  image = to_bytes(n);
  return true;
}

// One bit of the length field flipped: a smaller length in range makes the
// receiver take that much payload and the next four bytes as the sums; a
// larger one leaves it waiting for bytes that never come.
bool length_bit(Bytes&, size_t length, size_t* taken, Rng& rng) {
  const size_t changed = length ^ (size_t{1} << pick(rng, 13));
  if (changed > length) return false;
  *taken = changed;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t trials = 1000000;
  uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--trials" || a == "--seed") && i + 1 < argc) {
      (a == "--trials" ? trials : seed) = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: tarnel-frame-sums [--trials N] [--seed S]\n");
      return 2;
    }
  }
  const Model models[] = {
      {"one bit flipped", flip_bit},
      {"two bits flipped anywhere", flip_two_bits},
      {"one bit flipped in two bytes 2^16/2^bit apart", flip_bit_pair_512},
      {"one nibble read wrong", wrong_nibble},
      {"a burst of 2-8 nibbles of noise", noise_burst},
      {"one nibble lost (handshake edge lost)", lost_nibble},
      {"one nibble taken twice (edge added)", extra_nibble},
      {"one bit of the length field flipped", length_bit},
  };
  Rng rng(seed);
  std::printf("%-48s %8s %12s %10s %12s\n", "spoilt as", "payload", "trials", "passed",
              "pass rate");
  for (const Model& m : models) {
    for (size_t length : {size_t{4096}, size_t{32}}) {
      uint64_t tried = 0, passed = 0;
      Bytes payload(length);
      for (uint64_t t = 0; t < trials; ++t) {
        for (size_t i = 0; i < length; i += 8) {
          uint64_t r = rng();
          for (size_t k = i; k < i + 8 && k < length; ++k, r >>= 8)
            payload[k] = static_cast<uint8_t>(r);
        }
        const Bytes image = frame_image(payload);
        Bytes spoilt = image;
        size_t taken = length;
        if (!m.spoil(spoilt, length, &taken, rng)) continue;
        if (taken == length && spoilt == image) continue;  // nothing changed after all
        ++tried;
        if (passes(spoilt, taken)) ++passed;
      }
      if (tried == 0) {
        std::printf("%-48s %8zu %12s %10s %12s\n", m.name, length, "-", "-", "(cannot occur)");
      } else {
        std::printf("%-48s %8zu %12llu %10llu %12.3g\n", m.name, length,
                    static_cast<unsigned long long>(tried), static_cast<unsigned long long>(passed),
                    static_cast<double>(passed) / static_cast<double>(tried));
      }
      std::fflush(stdout);
    }
  }
  return 0;
}
