#pragma once
// A private PostgreSQL server for one test program, from Debian's postgresql
// package (its programs live in /usr/lib/postgresql/<version>/bin, off the
// PATH). It listens only on a Unix socket in its own temporary folder under
// /tmp (a socket path must stay short), trusts every local connection, and
// is stopped and removed with the object.
//
// initdb, pg_ctl and postgres refuse to run as root: as root (CI) the folder
// is given to the postgres user and they run as that user (runuser);
// otherwise they run as the user of the test.

#include <QString>

#include <string>

class TPgServer {
public:
    TPgServer() = default;
    ~TPgServer();
    TPgServer(const TPgServer&) = delete;
    TPgServer& operator=(const TPgServer&) = delete;

    // A new cluster, started; false with Error() saying why (the commands'
    // output and the server's log included).
    bool Start();
    // Stops the server at once (as a crash or a lost machine would), its
    // data kept; Resume starts it again.
    bool Stop();
    bool Resume();

    // A new, empty database; its name, or an empty string with Error().
    QString NewDatabase();
    // The ledger address of Database: postgresql://orvelle@/DB?host=FOLDER.
    QString Url(const QString& Database) const;
    // The folder that holds the socket.
    const QString& Folder() const { return FFolder; }
    const std::string& Error() const { return FError; }

private:
    // Runs a server program as the server's user; its output on failure.
    bool Run(const QString& Program, const QStringList& Arguments, const QString& What);
    bool StartServer(const QString& What);

    QString FBin;    // /usr/lib/postgresql/<version>/bin
    QString FFolder; // the server's own: data/, the socket, the log
    bool FRunning = false;
    int FDatabases = 0;
    std::string FError;
};
