// Replication client stand-in: the client of the replication database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One replication volume. A plain 64-byte record; only replicationType and
// volumeId carry meaning here.
struct ReplicationVolumeRecord42_t {
  unsigned char reserved0[20];
  int32_t replicationType;  // 3: asynchronous mirror
  unsigned char reserved1[4];
  int32_t volumeId;
  unsigned char reserved2[32];
};
static_assert(sizeof(ReplicationVolumeRecord42_t) == 64, "a 64-byte record");
static_assert(offsetof(ReplicationVolumeRecord42_t, replicationType) == 20, "type at 20");
static_assert(offsetof(ReplicationVolumeRecord42_t, volumeId) == 28, "id at 28");

// The result of one volume list query.
struct GetReplicationVolumeList42Ret_t {
  std::string status;
  std::vector<ReplicationVolumeRecord42_t> volumes;

  // Counted so that tests can check that every result record was destroyed.
  GetReplicationVolumeList42Ret_t();
  GetReplicationVolumeList42Ret_t(const GetReplicationVolumeList42Ret_t& other);
  GetReplicationVolumeList42Ret_t& operator=(const GetReplicationVolumeList42Ret_t&) = default;
  ~GetReplicationVolumeList42Ret_t();
};

class ReplicaDBClient {
 public:
  explicit ReplicaDBClient(int clientKind);
  ~ReplicaDBClient();
  ReplicaDBClient(const ReplicaDBClient&) = delete;
  ReplicaDBClient& operator=(const ReplicaDBClient&) = delete;

  // Fills result.volumes with every replication volume (replacing what it
  // held); false, with result untouched, when the database cannot be queried.
  // May throw kqsim::ReplicaDBFault (ReplicaDBSim.h).
  bool GetReplicationVolumeList(GetReplicationVolumeList42Ret_t& result);

 private:
  int clientKind_;
};
