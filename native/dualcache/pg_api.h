// libpq, loaded when the first store on a PostgreSQL server is opened, so
// that a plain install (stores in SQLite files) needs nothing of PostgreSQL
// to build, to load or to run. The prototypes come from libpq-fe.h when it
// is installed at build time; otherwise from the few declarations below,
// which follow libpq's stable C interface (libpq.so.5).
#pragma once
#if __has_include(<postgresql/libpq-fe.h>)
#include <postgresql/libpq-fe.h>
#elif __has_include(<libpq-fe.h>)
#include <libpq-fe.h>
#else
extern "C" {
typedef unsigned int Oid;
typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;
typedef enum { CONNECTION_OK, CONNECTION_BAD } ConnStatusType;
typedef enum {
    PGRES_EMPTY_QUERY = 0,
    PGRES_COMMAND_OK,
    PGRES_TUPLES_OK,
    PGRES_COPY_OUT,
    PGRES_COPY_IN,
    PGRES_BAD_RESPONSE,
    PGRES_NONFATAL_ERROR,
    PGRES_FATAL_ERROR,
    PGRES_COPY_BOTH,
    PGRES_SINGLE_TUPLE,
    PGRES_PIPELINE_SYNC,
    PGRES_PIPELINE_ABORTED
} ExecStatusType;
typedef enum { PQTRANS_IDLE, PQTRANS_ACTIVE, PQTRANS_INTRANS, PQTRANS_INERROR, PQTRANS_UNKNOWN } PGTransactionStatusType;
typedef struct _PQconninfoOption {
    char *keyword, *envvar, *compiled, *val, *label, *dispchar;
    int dispsize;
} PQconninfoOption;
typedef void (*PQnoticeReceiver)(void *arg, const PGresult *res);
#define PG_DIAG_SEVERITY 'S'
#define PG_DIAG_SEVERITY_NONLOCALIZED 'V'
#define PG_DIAG_SQLSTATE 'C'
#define PG_DIAG_MESSAGE_PRIMARY 'M'
PGconn *PQconnectdbParams(const char *const *keywords, const char *const *values, int expand_dbname);
ConnStatusType PQstatus(const PGconn *conn);
char *PQerrorMessage(const PGconn *conn);
void PQfinish(PGconn *conn);
int PQsocket(const PGconn *conn);
int PQsendQuery(PGconn *conn, const char *query);
int PQsendQueryParams(PGconn *conn, const char *command, int nParams, const Oid *paramTypes,
                      const char *const *paramValues, const int *paramLengths, const int *paramFormats,
                      int resultFormat);
int PQsendPrepare(PGconn *conn, const char *stmtName, const char *query, int nParams, const Oid *paramTypes);
int PQsendQueryPrepared(PGconn *conn, const char *stmtName, int nParams, const char *const *paramValues,
                        const int *paramLengths, const int *paramFormats, int resultFormat);
int PQconsumeInput(PGconn *conn);
int PQisBusy(PGconn *conn);
PGresult *PQgetResult(PGconn *conn);
ExecStatusType PQresultStatus(const PGresult *res);
char *PQresultErrorField(const PGresult *res, int fieldcode);
char *PQresultErrorMessage(const PGresult *res);
void PQclear(PGresult *res);
int PQntuples(const PGresult *res);
int PQnfields(const PGresult *res);
char *PQgetvalue(const PGresult *res, int tup_num, int field_num);
int PQgetlength(const PGresult *res, int tup_num, int field_num);
int PQgetisnull(const PGresult *res, int tup_num, int field_num);
char *PQcmdStatus(PGresult *res);
PGTransactionStatusType PQtransactionStatus(const PGconn *conn);
char *PQescapeIdentifier(PGconn *conn, const char *str, size_t len);
void PQfreemem(void *ptr);
PQconninfoOption *PQconninfoParse(const char *conninfo, char **errmsg);
void PQconninfoFree(PQconninfoOption *connOptions);
PQnoticeReceiver PQsetNoticeReceiver(PGconn *conn, PQnoticeReceiver proc, void *arg);
int PQenterPipelineMode(PGconn *conn);
int PQexitPipelineMode(PGconn *conn);
int PQpipelineSync(PGconn *conn);
int PQsetnonblocking(PGconn *conn, int arg);
int PQflush(PGconn *conn);
PQconninfoOption *PQconninfo(PGconn *conn);
}
#endif

namespace dualcache::pg {

// The libpq functions the store calls, resolved from libpq.so.5.
struct Api {
#define DUALCACHE_PQ_FUNCTIONS(X)                                                                               \
    X(PQconnectdbParams) X(PQstatus) X(PQerrorMessage) X(PQfinish) X(PQsocket) X(PQsendQuery) X(PQsendQueryParams) X(PQsendPrepare) \
    X(PQsendQueryPrepared) X(PQconsumeInput) X(PQisBusy) X(PQgetResult) X(PQresultStatus) X(PQresultErrorField) \
    X(PQresultErrorMessage) X(PQclear) X(PQntuples) X(PQnfields) X(PQgetvalue) X(PQgetlength) X(PQgetisnull) X(PQcmdStatus) \
    X(PQtransactionStatus) X(PQescapeIdentifier) X(PQfreemem) X(PQconninfoParse) X(PQconninfoFree)           \
    X(PQsetNoticeReceiver) X(PQsetnonblocking) X(PQflush) X(PQconninfo)
// Pipeline mode (libpq 14 and later): null when the libpq found is older.
#define DUALCACHE_PQ_OPTIONAL(X) X(PQenterPipelineMode) X(PQexitPipelineMode) X(PQpipelineSync)
#define DUALCACHE_PQ_MEMBER(f) decltype(&::f) f;
    DUALCACHE_PQ_FUNCTIONS(DUALCACHE_PQ_MEMBER)
    DUALCACHE_PQ_OPTIONAL(DUALCACHE_PQ_MEMBER)
#undef DUALCACHE_PQ_MEMBER
};

// libpq, loaded on first use; StoreError naming `what` when it cannot be
// loaded.
const Api &api(const char *what);

}  // namespace dualcache::pg
