// Log facility stand-in: the event log object; used as an EvDebug.
#pragma once

#include "EvDebug.h"

class EvEvent : public EvDebug {
 public:
  EvEvent() noexcept : EvDebug(nullptr) { isEvent_ = true; }
  ~EvEvent() = default;
};
