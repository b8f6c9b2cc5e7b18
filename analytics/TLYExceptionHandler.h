#pragma once
// The uncaught-exception reporter: one fatal exception hit for the first
// uncaught exception of the process, up to 5 s for the dispatcher to upload it,
// then the exception goes on to the handler installed before.
#include "platform/foundation/Exception.h"

void TLYUncaughtExceptionHandler(const platform::foundation::Exception& exception);
// Installing twice changes nothing; removing restores the previous handler
// only while the reporter is the current one.
void TLYInstallUncaughtExceptionHandler();
void TLYRemoveUncaughtExceptionHandler();
