// A PostgreSQL server of the test's own: a cluster made with initdb in a
// temporary folder, listening on 127.0.0.1 and a free port, stopped and
// removed at the end. The server refuses to run as root, so under root it
// runs as nobody, owning its folder.
#pragma once

#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/RunCommand.h"

namespace ostrel::test {

// A port nobody listens on now (the kernel's pick on 127.0.0.1).
inline int freeLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// Under root: a prefix that runs a command as nobody.
inline std::string asUnprivileged() {
    return geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups -- " : "";
}

class PgCluster {
public:
    PgCluster() {
        namespace fs = std::filesystem;
        std::vector<fs::path> bins;
        for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec_))
            if (fs::exists(e.path() / "bin/initdb")) bins.push_back(e.path() / "bin");
        if (bins.empty()) throw std::runtime_error("PostgreSQL server not installed (scripts/deps)");
        std::sort(bins.begin(), bins.end());
        const fs::path bin = bins.back();

        char tmpl[] = "/tmp/ostrel-pg-XXXXXX";
        dir_ = mkdtemp(tmpl);
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (chown(dir_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) throw std::runtime_error("chown");
        }
        const std::string data = (dir_ / "data").string();
        auto r = runCommand(asUnprivileged() + bin.string() + "/initdb -D " + data +
                            " -U ostrel --auth=trust -E UTF8 --no-sync --no-instructions >" + dir_.string() +
                            "/initdb.log 2>&1");
        if (r.status != 0) throw std::runtime_error("initdb failed; see " + dir_.string() + "/initdb.log");

        port_ = freeLoopbackPort();
        const std::string postgres = bin.string() + "/postgres";
        const std::string log = (dir_ / "server.log").string();
        const std::string cmd = "exec " + asUnprivileged() + postgres + " -D " + data + " -k " + dir_.string() +
                                " -p " + std::to_string(port_) +
                                " -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off"
                                " -c max_connections=60 >" + log + " 2>&1";
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        const std::string ping = "host=127.0.0.1 port=" + std::to_string(port_) + " user=ostrel dbname=postgres";
        while (PQping(ping.c_str()) != PQPING_OK) {
            if (std::chrono::steady_clock::now() > until) throw std::runtime_error("PostgreSQL did not start; see " + log);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~PgCluster() {
        if (pid_ > 0) {
            // Fast shutdown; the whole process group, the server's children too.
            ::kill(-pid_, SIGINT);
            int st;
            for (int i = 0; i < 100 && waitpid(pid_, &st, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ::kill(-pid_, SIGKILL);
            waitpid(pid_, &st, 0);
        }
        std::filesystem::remove_all(dir_, ec_);
    }
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    int port() const { return port_; }

    // A new empty database; its URL.
    std::string createDatabase(const std::string& name) {
        exec("postgres", "CREATE DATABASE " + name);
        return url(name);
    }
    std::string url(const std::string& db) const {
        return "postgresql://ostrel@127.0.0.1:" + std::to_string(port_) + "/" + db;
    }

    // Runs SQL; the rows of the last result, each column as text.
    std::vector<std::vector<std::string>> exec(const std::string& db, const std::string& sql) const {
        PGconn* c = PQconnectdb(url(db).c_str());
        std::vector<std::vector<std::string>> rows;
        PGresult* r = PQexec(c, sql.c_str());
        const auto st = PQresultStatus(r);
        if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
            std::string why = PQerrorMessage(c);
            PQclear(r);
            PQfinish(c);
            throw std::runtime_error(sql + ": " + why);
        }
        for (int i = 0; i < PQntuples(r); ++i) {
            std::vector<std::string> row;
            for (int j = 0; j < PQnfields(r); ++j) row.push_back(PQgetvalue(r, i, j));
            rows.push_back(std::move(row));
        }
        PQclear(r);
        PQfinish(c);
        return rows;
    }

private:
    std::filesystem::path dir_;
    std::error_code ec_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace ostrel::test
