#pragma once
// The database port over ADO (COM). COM must be initialised on the calling thread.

#include "platform/Database.h"

namespace Velmora {

class TAdoDataAccess : public IDataAccess {
public:
    std::unique_ptr<IConnection> CreateConnection() override;
};

}  // namespace Velmora
