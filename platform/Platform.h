#pragma once
// The ports a run talks through, bundled so that a form takes one argument.

#include "platform/Database.h"
#include "platform/Files.h"
#include "platform/ServiceControl.h"
#include "platform/TextConversion.h"
#include "platform/Toolkit.h"

namespace Velmora {

struct TPlatform {
    IToolkit& Toolkit;
    IServiceControl& Services;
    IDataAccess& Data;
    IFileSystem& Files;
    ITextConversion& Text;
};

}  // namespace Velmora
