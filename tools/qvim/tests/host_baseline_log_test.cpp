// The baseline's write-ahead log and the program's copies of the file: a copy
// holds every commit, and no log of the old baseline reaches the new one.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "BaselineCopy.h"
#include "TestSupport.h"

using namespace qvimcli;

namespace {

// A connection the test holds open; statements fail the test, not crash it.
class Connection {
public:
    explicit Connection(const std::string& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &m_db), SQLITE_OK); }
    ~Connection() { close(); }
    void close() {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
    void exec(const std::string& sql) {
        EXPECT_EQ(sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(m_db);
    }
    std::string text(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        std::string value = "<error>";
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_text(statement, 0) != nullptr
                        ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))
                        : "NULL";
        sqlite3_finalize(statement);
        return value;
    }

private:
    sqlite3* m_db = nullptr;
};

std::string rows(const std::string& path) {
    Connection db(path);
    return db.text("SELECT group_concat(x, ',') FROM (SELECT x FROM t ORDER BY x)");
}

off_t logSize(const std::string& path) {
    struct stat st;
    return lstat((path + "-wal").c_str(), &st) == 0 ? st.st_size : -1;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A writer that commits into the log and dies without closing: its frames
// stay in the log beside the file, and the file lacks them.
void commitAndDie(const std::string& path, const std::string& row) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        sqlite3* db = nullptr;
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) _exit(1);
        const std::string sql = "PRAGMA wal_autocheckpoint = 0; INSERT INTO t VALUES('" + row + "');";
        _exit(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_GT(logSize(path), 0) << "the writer left no frames";
}

class BaselineLog : public ::testing::Test {
protected:
    void SetUp() override {
        folderPath = qvim_test::testDirectory();
        path = folderPath + "/base.db";
        folder.reset(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(folder);
        Connection db(path);
        db.exec("PRAGMA journal_mode = WAL; CREATE TABLE t(x TEXT); INSERT INTO t VALUES('a');");
    }

    std::string folderPath;
    std::string path;
    UniqueFd folder;
};

}  // namespace

TEST_F(BaselineLog, ACopyHoldsTheCommitsStillInTheLog) {
    Connection holder(path);
    holder.exec("PRAGMA wal_autocheckpoint = 0; INSERT INTO t VALUES('b');");
    ASSERT_GT(logSize(path), 0);
    {
        BaselineCopy copy;
        std::string error;
        ASSERT_TRUE(copy.create(folder.get(), folderPath, "base.db", error)) << error;
        EXPECT_NE(copy.method(), CopyMethod::Backup) << "the log could be emptied first";
        EXPECT_EQ(rows(copy.path()), "a,b");
    }

    // A reader that holds the log up: the copy goes through SQLite and is whole all the same.
    Connection reader(path);
    reader.exec("BEGIN; SELECT count(*) FROM t;");
    holder.exec("INSERT INTO t VALUES('c');");
    BaselineCopy copy;
    std::string error;
    ASSERT_TRUE(copy.create(folder.get(), folderPath, "base.db", error)) << error;
    EXPECT_EQ(copy.method(), CopyMethod::Backup);
    EXPECT_EQ(rows(copy.path()), "a,b,c");
    reader.exec("COMMIT;");
}

TEST_F(BaselineLog, NoLogOfTheOldBaselineIsAppliedToTheNewOne) {
    BaselineCopy copy;
    std::string error;
    ASSERT_TRUE(copy.create(folder.get(), folderPath, "base.db", error)) << error;
    {
        // A copy whose commits are still in its log is not put in place.
        Connection writer(copy.path());
        writer.exec("PRAGMA wal_autocheckpoint = 0; INSERT INTO t VALUES('new');");
        EXPECT_FALSE(copy.replaceOriginal(error));
        EXPECT_NE(error.find("incomplete"), std::string::npos) << error;
    }

    // A log with frames beside the baseline, and a connection holding it: refused.
    commitAndDie(path, "stale");
    {
        Connection holder(path);
        EXPECT_EQ(holder.text("SELECT count(*) FROM t"), "2");
        EXPECT_FALSE(copy.replaceOriginal(error));
        EXPECT_NE(error.find("open in another program"), std::string::npos) << error;
        EXPECT_EQ(rows(path), "a,stale") << "the old baseline stays in place";
    }

    // A log a dead writer left: moved into the old file, never into the new one.
    commitAndDie(path, "stale again");
    ASSERT_TRUE(copy.replaceOriginal(error)) << error;
    EXPECT_FALSE(exists(path + "-wal"));
    EXPECT_FALSE(exists(path + "-shm"));
    EXPECT_EQ(rows(path), "a,new");
    Connection replaced(path);
    EXPECT_EQ(replaced.text("PRAGMA integrity_check"), "ok");
}
