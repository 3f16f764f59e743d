-- Schema of a new zfsrep database, run once when the file is created.

CREATE TABLE IF NOT EXISTS sys_configure (
    cfg_no          INTEGER PRIMARY KEY AUTOINCREMENT,
    cfg_userno      INTEGER,
    cfg_key         VARCHAR(250),
    cfg_type        INTEGER,
    cfg_value       VARCHAR(250),
    cfg_stamp       VARCHAR(20),
    cfg_description VARCHAR(250)
);

CREATE UNIQUE INDEX IF NOT EXISTS sys_configure_cfg_key__index ON sys_configure (cfg_key ASC);

INSERT INTO SYS_Configure (cfg_key, cfg_value) VALUES ('System.Id', 'K7ZFSBDR');
INSERT INTO SYS_Configure (cfg_key, cfg_value) VALUES ('System.Version', '1');
INSERT INTO SYS_Configure (cfg_key, cfg_value) VALUES ('Database.Id', 'K7ZFSBDR');
INSERT INTO SYS_Configure (cfg_key, cfg_value) VALUES ('Database.Version', '5');
INSERT INTO SYS_Configure (cfg_key, cfg_value) VALUES ('Database.First.Date', DATETIME(CURRENT_TIMESTAMP, 'localtime'));

CREATE TABLE t_mission (
    msn_no           INTEGER PRIMARY KEY AUTOINCREMENT,
    msn_time         DATETIME DEFAULT (DATETIME(CURRENT_TIMESTAMP, 'localtime')),
    msn_done         INTEGER DEFAULT 0,
    msn_caption      TEXT DEFAULT '',
    msn_action       INTEGER DEFAULT 0,
    msn_pool         TEXT DEFAULT '',
    msn_name         TEXT DEFAULT '',
    msn_path         TEXT DEFAULT '',
    msn_host         TEXT DEFAULT '',
    msn_port         TEXT DEFAULT '',
    msn_userid       TEXT DEFAULT '',
    msn_passwd       TEXT DEFAULT '',
    msn_increment    INTEGER DEFAULT 0,
    msn_erase        INTEGER DEFAULT 0,
    msn_encrypt      INTEGER DEFAULT 0,
    msn_encryptkey   INTEGER DEFAULT 0,
    msn_schedules    TEXT DEFAULT '[]',
    msn_finishedtime TEXT DEFAULT '',
    msn_snapname     TEXT DEFAULT '',
    msn_ratelimit    INTEGER DEFAULT 0,
    msn_keepsource   TEXT DEFAULT '',
    msn_keeptarget   TEXT DEFAULT '',
    msn_carry        TEXT DEFAULT '',
    msn_hook         TEXT DEFAULT ''
);

CREATE UNIQUE INDEX IF NOT EXISTS t_mission_caption__unique ON t_mission (msn_caption COLLATE NOCASE);

-- Run history: one row per run of a mission.
CREATE TABLE IF NOT EXISTS t_run (
    run_no      INTEGER PRIMARY KEY AUTOINCREMENT,
    run_msnno   INTEGER DEFAULT 0,
    run_caption TEXT DEFAULT '',
    run_action  INTEGER DEFAULT 0,
    run_kind    TEXT DEFAULT '',
    run_started INTEGER DEFAULT 0,
    run_ended   INTEGER DEFAULT 0,
    run_outcome TEXT DEFAULT 'running',
    run_error   TEXT DEFAULT '',
    run_bytes   INTEGER DEFAULT 0,
    run_rate    INTEGER DEFAULT 0,
    run_base    TEXT DEFAULT '',
    run_target  TEXT DEFAULT '',
    run_notified     INTEGER DEFAULT 0,
    run_file         TEXT DEFAULT '',
    run_prunedsource INTEGER DEFAULT 0,
    run_prunedtarget INTEGER DEFAULT 0
);

CREATE INDEX IF NOT EXISTS t_run_msnno__index ON t_run (run_msnno, run_no);

-- Run states (no statement of the service reads or writes them).
CREATE TABLE t_runstate (
    rst_no      INTEGER PRIMARY KEY,
    rst_time    DATETIME DEFAULT (DATETIME(CURRENT_TIMESTAMP, 'localtime')),
    rst_dmpath  TEXT,
    rst_mode    INTEGER,
    rst_succeed INTEGER
);

-- Request log (no statement of the service reads or writes it).
CREATE TABLE IF NOT EXISTS t_logger (
    log_no          INTEGER PRIMARY KEY,
    log_time        TEXT,
    log_protocol    INTEGER,
    log_token       TEXT,
    log_system      TEXT,
    log_app         TEXT,
    log_module      TEXT,
    log_method      TEXT,
    log_userid      TEXT,
    log_remote      TEXT,
    log_level       INTEGER,
    log_keywords    TEXT,
    log_content     TEXT,
    log_description TEXT,
    log_request     TEXT,
    log_respond     TEXT,
    log_environment TEXT,
    log_err         INTEGER,
    log_succeed     INTEGER,
    log_symbol      TEXT,
    log_params      TEXT
);
