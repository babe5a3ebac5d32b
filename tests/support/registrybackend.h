// Fresh registries for tests: an SQLite file in a temporary directory, or a new database on the test PostgreSQL
// server that CTest starts (ZR_TEST_POSTGRES_DIR) or that ZR_TEST_POSTGRES_URL names.
#pragma once

#include <QString>

namespace RegistryBackend {

// Adds the column "backend" and the rows "sqlite" and "postgresql" to a _data() table.
void addRows();

// A URL of an empty registry of the backend; empty with *skip set when the backend is not available here.
QString freshUrl(const QString &backend, const QString &tempDir, QString *skip);
// A URL of the backend at which no registry can be reached until makeReachable(): an SQLite file below a plain
// file, or a database not yet created on the server.
QString unreachableUrl(const QString &backend, const QString &tempDir, QString *skip);
void makeReachable(const QString &backend, const QString &url);

} // namespace RegistryBackend
