#include "proc/process_table.h"

namespace kvs {

void ProcessTable::Clear() { entries.fill(ManagedProcess{}); }

int ProcessTable::Occupied() const {
  int n = 0;
  for (const ManagedProcess& e : entries) n += e.pid != 0;
  return n;
}

}  // namespace kvs
