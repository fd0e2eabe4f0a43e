#include "mpi/world.hpp"

#include <mpi.h>

#include <algorithm>
#include <climits>

namespace Orvane::Core::Lumeth::Mpi {
namespace {

constexpr int kTagLength = 1;
constexpr int kTagBytes = 2;
// Sent in place of a length: the sender has nothing, because it or a rank
// below it failed.
constexpr std::uint64_t kFailed = UINT64_MAX;
constexpr std::size_t kLargestPiece = std::size_t{1} << 30;

int pieceOf(std::size_t left) { return static_cast<int>(std::min(left, kLargestPiece)); }

}  // namespace

World::World() {
  MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
  MPI_Comm_size(MPI_COMM_WORLD, &size_);
}

bool World::anyFailed(bool failed) const {
  int mine = failed ? 1 : 0;
  int any = 0;
  MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_LOR, MPI_COMM_WORLD);
  return any != 0;
}

void World::send(int to, std::span<const std::uint8_t> bytes) const {
  std::uint64_t length = bytes.size();
  MPI_Send(&length, 1, MPI_UINT64_T, to, kTagLength, MPI_COMM_WORLD);
  for (std::size_t sent = 0; sent < bytes.size();) {
    const int piece = pieceOf(bytes.size() - sent);
    MPI_Send(bytes.data() + sent, piece, MPI_BYTE, to, kTagBytes, MPI_COMM_WORLD);
    sent += static_cast<std::size_t>(piece);
  }
}

void World::sendFailure(int to) const {
  std::uint64_t length = kFailed;
  MPI_Send(&length, 1, MPI_UINT64_T, to, kTagLength, MPI_COMM_WORLD);
}

std::optional<ByteBuffer> World::receive(int from) const {
  std::uint64_t length = 0;
  MPI_Recv(&length, 1, MPI_UINT64_T, from, kTagLength, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  if (length == kFailed) {
    return std::nullopt;
  }
  ByteBuffer bytes(static_cast<std::size_t>(length));
  for (std::size_t received = 0; received < bytes.size();) {
    const int piece = pieceOf(bytes.size() - received);
    MPI_Recv(bytes.data() + received, piece, MPI_BYTE, from, kTagBytes, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
    received += static_cast<std::size_t>(piece);
  }
  return bytes;
}

void World::broadcast(ByteBuffer& bytes) const {
  std::uint64_t length = bytes.size();
  MPI_Bcast(&length, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
  bytes.resize(static_cast<std::size_t>(length));
  for (std::size_t done = 0; done < bytes.size();) {
    const int piece = pieceOf(bytes.size() - done);
    MPI_Bcast(bytes.data() + done, piece, MPI_BYTE, 0, MPI_COMM_WORLD);
    done += static_cast<std::size_t>(piece);
  }
}

}  // namespace Orvane::Core::Lumeth::Mpi
