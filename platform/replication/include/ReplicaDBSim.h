// The in-memory replication database behind the replication client stand-in.
//
//   kqsim::ReplicaDB db;               // installs itself; one at a time
//   db.Add(/*volumeId=*/7, /*replicationType=*/3);
//   db.FailNextQueries(1);             // the next list query returns false
//   db.ThrowNextQueries(1);            // ... or throws kqsim::ReplicaDBFault
//
// Without an installed database every query fails. A query lists the records
// in the order they were added, each zeroed apart from the two fields given.
// Injected throws are used up before injected failures; each refused query
// counts in Queries(). A second database constructed while one is installed
// takes over until it is destroyed. Thread-safe.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "ReplicaDBClient.h"

namespace kqsim {

class ReplicaDBFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ReplicaDB {
 public:
  ReplicaDB();
  ~ReplicaDB();
  ReplicaDB(const ReplicaDB&) = delete;
  ReplicaDB& operator=(const ReplicaDB&) = delete;

  void Add(int32_t volumeId, int32_t replicationType);
  void Clear();
  void FailNextQueries(int count);
  void ThrowNextQueries(int count);
  int Queries() const;         // list queries answered or refused so far
  int LastClientKind() const;  // the constructor argument of the last client
                               // made while installed; -1 before the first

  // Objects alive right now, process-wide.
  static int LiveClients();
  static int LiveResults();

 private:
  friend class ::ReplicaDBClient;

  // Guarded by the process-wide database lock.
  std::vector<ReplicationVolumeRecord42_t> records_;
  int failNext_ = 0;
  int throwNext_ = 0;
  int queries_ = 0;
  int lastClientKind_ = -1;
  ReplicaDB* previous_ = nullptr;
};

}  // namespace kqsim
