// The replication client stand-in and the in-memory database behind it.
#include "ReplicaDBClient.h"

#include <atomic>
#include <mutex>

#include "ReplicaDBSim.h"

namespace {

std::atomic<int> g_liveClients{0};
std::atomic<int> g_liveResults{0};

std::mutex g_dbMutex;
kqsim::ReplicaDB* g_db = nullptr;  // the installed database; guarded by g_dbMutex

}  // namespace

GetReplicationVolumeList42Ret_t::GetReplicationVolumeList42Ret_t() { ++g_liveResults; }

// Counted only once the members are copied: a copy that throws leaves no
// object, and its destructor never runs.
GetReplicationVolumeList42Ret_t::GetReplicationVolumeList42Ret_t(
    const GetReplicationVolumeList42Ret_t& other)
    : status(other.status), volumes(other.volumes) {
  ++g_liveResults;
}

GetReplicationVolumeList42Ret_t::~GetReplicationVolumeList42Ret_t() { --g_liveResults; }

ReplicaDBClient::ReplicaDBClient(int clientKind) : clientKind_(clientKind) {
  ++g_liveClients;
  std::lock_guard<std::mutex> lock(g_dbMutex);
  if (g_db != nullptr) g_db->lastClientKind_ = clientKind_;
}

ReplicaDBClient::~ReplicaDBClient() { --g_liveClients; }

bool ReplicaDBClient::GetReplicationVolumeList(GetReplicationVolumeList42Ret_t& result) {
  std::vector<ReplicationVolumeRecord42_t> volumes;
  {
    std::lock_guard<std::mutex> lock(g_dbMutex);
    if (g_db == nullptr) return false;
    ++g_db->queries_;
    if (g_db->throwNext_ > 0) {
      --g_db->throwNext_;
      throw kqsim::ReplicaDBFault("replication database: injected fault");
    }
    if (g_db->failNext_ > 0) {
      --g_db->failNext_;
      return false;
    }
    volumes = g_db->records_;
  }
  result.volumes = std::move(volumes);
  return true;
}

namespace kqsim {

ReplicaDB::ReplicaDB() {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  previous_ = g_db;
  g_db = this;
}

ReplicaDB::~ReplicaDB() {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  if (g_db == this) {
    g_db = previous_;
    return;
  }
  // Destroyed out of order: unlink it so that no later database falls back to it.
  for (ReplicaDB* db = g_db; db != nullptr; db = db->previous_) {
    if (db->previous_ == this) {
      db->previous_ = previous_;
      break;
    }
  }
}

void ReplicaDB::Add(int32_t volumeId, int32_t replicationType) {
  ReplicationVolumeRecord42_t record{};
  record.volumeId = volumeId;
  record.replicationType = replicationType;
  std::lock_guard<std::mutex> lock(g_dbMutex);
  records_.push_back(record);
}

void ReplicaDB::Clear() {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  records_.clear();
}

void ReplicaDB::FailNextQueries(int count) {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  failNext_ = count;
}

void ReplicaDB::ThrowNextQueries(int count) {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  throwNext_ = count;
}

int ReplicaDB::Queries() const {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  return queries_;
}

int ReplicaDB::LastClientKind() const {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  return lastClientKind_;
}

int ReplicaDB::LiveClients() { return g_liveClients.load(); }

int ReplicaDB::LiveResults() { return g_liveResults.load(); }

}  // namespace kqsim
