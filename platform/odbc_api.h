// The ODBC 3 API of this system's driver manager (unixODBC on POSIX,
// odbc32 on Windows, where its headers need the Windows types first).
// The database layer includes this instead of the headers themselves.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>
