#pragma once

// The few MPI operations the driver needs, over MPI_COMM_WORLD: rank and
// size, agreeing on failure, and byte buffers of any size sent point to
// point or broadcast. MPI's own errors abort the job (its default handler).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth::Mpi {

class World {
 public:
  World();

  [[nodiscard]] int rank() const noexcept { return rank_; }
  [[nodiscard]] int size() const noexcept { return size_; }
  [[nodiscard]] bool root() const noexcept { return rank_ == 0; }

  // Collective: true on every rank when `failed` is true on any.
  [[nodiscard]] bool anyFailed(bool failed) const;

  // Point to point: `bytes`, or the mark of a failure below the sender
  // (sendFailure), which receive() gives as nothing. Buffers are sent in
  // pieces of at most 1 GiB, so their size is not limited by MPI's int
  // counts.
  void send(int to, std::span<const std::uint8_t> bytes) const;
  void sendFailure(int to) const;
  [[nodiscard]] std::optional<ByteBuffer> receive(int from) const;

  // Collective: rank 0's `bytes` on every rank.
  void broadcast(ByteBuffer& bytes) const;

 private:
  int rank_ = 0;
  int size_ = 1;
};

}  // namespace Orvane::Core::Lumeth::Mpi
