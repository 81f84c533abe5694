#include "platform/random.h"

#include <mutex>
#include <random>
#include <stdexcept>

namespace parlevo {
namespace {

struct Generator {
  std::mutex mutex;
  std::mt19937_64 engine;

  Generator() {
    std::random_device device;
    std::seed_seq seeds{device(), device(), device(), device(),
                        device(), device(), device(), device()};
    engine.seed(seeds);
  }
};

Generator& ProcessGenerator() {
  static Generator generator;
  return generator;
}

}  // namespace

int64_t RandomInt(int64_t low, int64_t high) {
  if (low > high) throw std::invalid_argument("RandomInt: empty range");
  std::uniform_int_distribution<int64_t> distribution(low, high);
  Generator& g = ProcessGenerator();
  std::lock_guard lock(g.mutex);
  return distribution(g.engine);
}

void SeedRandomForTesting(uint64_t seed) {
  Generator& g = ProcessGenerator();
  std::lock_guard lock(g.mutex);
  g.engine.seed(seed);
}

}  // namespace parlevo
