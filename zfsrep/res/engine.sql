-- Statement catalogue of zfsrep.
--
-- Each statement starts with a header line "SQL: <id>"; the lines up to a
-- "params:" line (or the next header) are its text, the lines after "params:"
-- declare its parameters, one "<name> <type>" per line. Comments run from "--"
-- to the end of the line, also inside quoted literals, so statement texts
-- never hold "--". Parameters are written ":name" (or "@name").

-- ---- schema upgrades --------------------------------------------------------

SQL: dbupgrade_version
UPDATE sys_configure SET cfg_value = :ver WHERE cfg_key = 'Database.Version';
params:
ver integer

SQL: dbupgrade_v1_1
ALTER TABLE t_mission ADD COLUMN msn_finishedtime TEXT DEFAULT '';

SQL: dbupgrade_v2_1
ALTER TABLE t_mission ADD COLUMN msn_snapname TEXT DEFAULT '';

-- Version 3 to 4: the run history, one row per run of a mission (newest
-- last), and the missions' bandwidth limit in bytes per second (0: none).
-- A new database gets both from the creator at version 4.
SQL: dbupgrade_v3_1
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
    run_target  TEXT DEFAULT ''
);

SQL: dbupgrade_v3_2
CREATE INDEX IF NOT EXISTS t_run_msnno__index ON t_run (run_msnno, run_no);

SQL: dbupgrade_v3_3
ALTER TABLE t_mission ADD COLUMN msn_ratelimit INTEGER DEFAULT 0;

-- Version 4 to 5: the missions' retention rules per side, what a send
-- carries, the hook around the snapshot; per run whether its notice went
-- out, the file an export wrote and how many snapshots it pruned per side.
-- A new database gets them from the creator at version 5.
SQL: dbupgrade_v4_1
ALTER TABLE t_mission ADD COLUMN msn_keepsource TEXT DEFAULT '';

SQL: dbupgrade_v4_2
ALTER TABLE t_mission ADD COLUMN msn_keeptarget TEXT DEFAULT '';

SQL: dbupgrade_v4_3
ALTER TABLE t_mission ADD COLUMN msn_carry TEXT DEFAULT '';

SQL: dbupgrade_v4_4
ALTER TABLE t_mission ADD COLUMN msn_hook TEXT DEFAULT '';

SQL: dbupgrade_v4_5
ALTER TABLE t_run ADD COLUMN run_notified INTEGER DEFAULT 0;

SQL: dbupgrade_v4_6
ALTER TABLE t_run ADD COLUMN run_file TEXT DEFAULT '';

SQL: dbupgrade_v4_7
ALTER TABLE t_run ADD COLUMN run_prunedsource INTEGER DEFAULT 0;

SQL: dbupgrade_v4_8
ALTER TABLE t_run ADD COLUMN run_prunedtarget INTEGER DEFAULT 0;

-- ---- service ----------------------------------------------------------------
-- The installation's id (ServiceInstance), made at the first start.

SQL: configure_instance
SELECT cfg_value AS value FROM sys_configure WHERE cfg_key = 'Service.Instance' LIMIT 1;

SQL: configure_instance_create
INSERT OR IGNORE INTO sys_configure (cfg_key, cfg_value) VALUES ('Service.Instance', :value);
params:
value string

-- ---- missions ---------------------------------------------------------------

SQL: mission_alload
SELECT msn_no AS msnno, msn_time AS time, msn_done AS done, msn_caption AS caption,
       msn_action AS action, msn_pool AS pool, msn_name AS name, msn_path AS path,
       msn_host AS host, msn_port AS port, msn_userid AS userid, msn_passwd AS passwd,
       msn_increment AS increment, msn_erase AS erase, msn_encrypt AS encrypt,
       msn_encryptkey AS encryptkey, msn_schedules AS schedules,
       msn_finishedtime AS finishedtime, msn_snapname AS snapname, msn_ratelimit AS ratelimit,
       msn_keepsource AS keepsource, msn_keeptarget AS keeptarget, msn_carry AS carry,
       msn_hook AS hook
  FROM t_mission
 ORDER BY msn_no;

SQL: mission_stamp
SELECT total_changes() AS own, (SELECT data_version FROM pragma_data_version) AS others,
       (SELECT schema_version FROM pragma_schema_version) AS schema;

SQL: mission_acquit
SELECT msn_no AS msnno, msn_time AS time, msn_done AS done, msn_caption AS caption,
       msn_action AS action, msn_pool AS pool, msn_name AS name, msn_path AS path,
       msn_host AS host, msn_port AS port, msn_userid AS userid, msn_passwd AS passwd,
       msn_increment AS increment, msn_erase AS erase, msn_encrypt AS encrypt,
       msn_encryptkey AS encryptkey, msn_schedules AS schedules,
       msn_finishedtime AS finishedtime, msn_snapname AS snapname, msn_ratelimit AS ratelimit,
       msn_keepsource AS keepsource, msn_keeptarget AS keeptarget, msn_carry AS carry,
       msn_hook AS hook
  FROM t_mission
 WHERE msn_no = :msnno
 LIMIT 1;
params:
msnno integer

SQL: mission_detail
SELECT msn_no AS msnno, msn_time AS time, msn_done AS done, msn_caption AS caption,
       msn_action AS action, msn_pool AS pool, msn_name AS name, msn_path AS path,
       msn_host AS host, msn_port AS port, msn_userid AS userid, msn_passwd AS passwd,
       msn_increment AS increment, msn_erase AS erase, msn_encrypt AS encrypt,
       msn_encryptkey AS encryptkey, msn_schedules AS schedules,
       msn_finishedtime AS finishedtime, msn_snapname AS snapname, msn_ratelimit AS ratelimit,
       msn_keepsource AS keepsource, msn_keeptarget AS keeptarget, msn_carry AS carry,
       msn_hook AS hook
  FROM t_mission
 WHERE msn_caption = :caption COLLATE NOCASE
 LIMIT 1;
params:
caption string

-- Captions are unique without regard to ASCII letter case (NOCASE folds A-Z
-- only, as UPPER does), and the index makes the caption test a lookup. A
-- database that already holds captions differing only in letter case cannot
-- take the unique index: it gets the plain one, which still serves the
-- lookup, until its duplicates are gone.
SQL: mission_caption_unique
CREATE UNIQUE INDEX IF NOT EXISTS t_mission_caption__unique ON t_mission (msn_caption COLLATE NOCASE);

SQL: mission_caption_index
CREATE INDEX IF NOT EXISTS t_mission_caption__index ON t_mission (msn_caption COLLATE NOCASE);

SQL: mission_caption_unindex
DROP INDEX IF EXISTS t_mission_caption__index;

SQL: mission_append
-- Inserts nothing (no change) when a mission of that caption, in any letter
-- case, is already stored: the test and the insert are one statement.
INSERT INTO t_mission (msn_time, msn_done, msn_caption, msn_action, msn_pool, msn_name,
                       msn_path, msn_host, msn_port, msn_userid, msn_passwd, msn_increment,
                       msn_erase, msn_encrypt, msn_encryptkey, msn_schedules, msn_snapname, msn_ratelimit,
                       msn_keepsource, msn_keeptarget, msn_carry, msn_hook)
SELECT (DATETIME(CURRENT_TIMESTAMP, 'localtime')), 0, :caption, :action, :pool, :name,
       :path, :host, :port, :userid, :passwd, :increment,
       :erase, :encrypt, :encryptkey, :schedules, :snapname, :ratelimit,
       :keepsource, :keeptarget, :carry, :hook
 WHERE NOT EXISTS (SELECT 1 FROM t_mission WHERE msn_caption = :caption COLLATE NOCASE);
params:
caption string
action integer
pool string
name string
path string
host string
port integer
userid string
passwd string
increment integer
erase integer
encrypt integer
encryptkey integer
schedules string
snapname string
ratelimit integer
keepsource string
keeptarget string
carry string
hook string

SQL: mission_change
UPDATE t_mission
   SET msn_pool = :pool, msn_name = :name, msn_path = :path, msn_host = :host,
       msn_port = :port, msn_userid = :userid, msn_passwd = :passwd,
       msn_increment = :increment, msn_erase = :erase, msn_encrypt = :encrypt,
       msn_encryptkey = :encryptkey, msn_schedules = :schedules, msn_snapname = :snapname,
       msn_ratelimit = :ratelimit, msn_keepsource = :keepsource, msn_keeptarget = :keeptarget,
       msn_carry = :carry, msn_hook = :hook
 WHERE msn_no = :msnno;
params:
msnno integer
action integer
pool string
name string
path string
host string
port integer
userid string
passwd string
increment integer
erase integer
encrypt integer
encryptkey integer
schedules string
snapname string
ratelimit integer
keepsource string
keeptarget string
carry string
hook string

SQL: mission_remove
DELETE FROM t_mission WHERE msn_no = :msnno;
params:
msnno integer

SQL: mission_finished
UPDATE t_mission
   SET msn_done = :done, msn_finishedtime = (DATETIME(CURRENT_TIMESTAMP, 'localtime'))
 WHERE msn_no = :msnno;
params:
msnno integer
done integer

SQL: mission_complete
UPDATE t_mission SET msn_done = 1 WHERE msn_no = :msnno;
params:
msnno integer

SQL: mission_rearm
UPDATE t_mission SET msn_done = 0 WHERE msn_no = :msnno;
params:
msnno integer

-- ---- run history ------------------------------------------------------------
-- Times and byte counts are read as REAL: whole integer columns are read in
-- 32 bits, and a REAL holds them exactly up to 2^53.

SQL: run_begin
INSERT INTO t_run (run_msnno, run_caption, run_action, run_kind, run_started, run_ended,
                   run_outcome, run_error, run_bytes, run_rate, run_base, run_target)
VALUES (:msnno, :caption, :action, :kind, :started, 0, 'running', '', 0, 0, :base, :target);
params:
msnno integer
caption string
action integer
kind string
started integer
base string
target string

SQL: run_finish
UPDATE t_run
   SET run_kind = :kind, run_ended = :ended, run_outcome = :outcome, run_error = :error,
       run_bytes = :bytes, run_rate = :rate, run_base = :base, run_target = :target
 WHERE run_no = :runno;
params:
runno integer
kind string
ended integer
outcome string
error string
bytes integer
rate integer
base string
target string

-- The notice of a run went out to every receiver (MissionNotices).
SQL: run_notified
UPDATE t_run SET run_notified = 1 WHERE run_no = :runno;
params:
runno integer
-- How many snapshots a run pruned per side (stored apart from run_finish:
-- most runs prune nothing).
SQL: run_pruned
UPDATE t_run SET run_prunedsource = :source, run_prunedtarget = :target WHERE run_no = :runno;
params:
runno integer
source integer
target integer

-- The file an export wrote, stored with the end of its run.
SQL: run_file
UPDATE t_run SET run_file = :file WHERE run_no = :runno;
params:
runno integer
file string

SQL: run_prune
DELETE FROM t_run
 WHERE run_msnno = :msnno
   AND run_no NOT IN (SELECT run_no FROM t_run WHERE run_msnno = :msnno
                       ORDER BY run_no DESC LIMIT :keep);
params:
msnno integer
keep integer

-- A removed mission's runs go with it (MissionBook::remove).
SQL: run_remove
DELETE FROM t_run WHERE run_msnno = :msnno;
params:
msnno integer

SQL: run_interrupt
UPDATE t_run
   SET run_outcome = 'interrupted',
       run_ended = CASE WHEN :ended > run_started THEN :ended ELSE run_started END
 WHERE run_outcome = 'running';
params:
ended integer

SQL: run_list
SELECT run_no AS runno, run_msnno AS msnno, run_caption AS caption, run_action AS action,
       run_kind AS kind, CAST(run_started AS REAL) AS started, CAST(run_ended AS REAL) AS ended,
       run_outcome AS outcome, run_error AS error, CAST(run_bytes AS REAL) AS bytes,
       CAST(run_rate AS REAL) AS rate, run_base AS base, run_target AS target,
       run_notified AS notified, run_file AS file, run_prunedsource AS prunedsource,
       run_prunedtarget AS prunedtarget
  FROM t_run
 WHERE run_msnno = :msnno
 ORDER BY run_no DESC
 LIMIT :limit;
params:
msnno integer
limit integer

SQL: run_latest
SELECT run_no AS runno, run_msnno AS msnno, run_caption AS caption, run_action AS action,
       run_kind AS kind, CAST(run_started AS REAL) AS started, CAST(run_ended AS REAL) AS ended,
       run_outcome AS outcome, run_error AS error, CAST(run_bytes AS REAL) AS bytes,
       CAST(run_rate AS REAL) AS rate, run_base AS base, run_target AS target,
       run_notified AS notified, run_file AS file, run_prunedsource AS prunedsource,
       run_prunedtarget AS prunedtarget
  FROM t_run
 WHERE run_no IN (SELECT MAX(run_no) FROM t_run GROUP BY run_msnno)
 ORDER BY run_msnno;

SQL: run_summary
SELECT run_msnno AS msnno, run_outcome AS outcome, COUNT(*) AS runs,
       TOTAL(run_bytes) AS bytes, CAST(MAX(run_ended) AS REAL) AS lastended
  FROM t_run
 GROUP BY run_msnno, run_outcome
 ORDER BY run_msnno, run_outcome;

-- ---- request log ------------------------------------------------------------

SQL: logger_alload
SELECT log_no AS no, log_time AS time, log_protocol AS protocol, log_token AS token,
       log_system AS system, log_app AS app, log_module AS module, log_method AS method,
       log_userid AS userid, log_remote AS remote, log_level AS level,
       log_keywords AS keywords, log_content AS content, log_description AS description,
       log_request AS request, log_respond AS respond, log_environment AS environment,
       log_err AS err, log_succeed AS succeed, log_symbol AS symbol, log_params AS params
  FROM t_logger
 ORDER BY log_no DESC
 LIMIT CASE WHEN :ofpage > 0 THEN :ofpage ELSE -1 END
OFFSET CASE WHEN :page > 1 AND :ofpage > 0 THEN (:page - 1) * :ofpage ELSE 0 END;
params:
page integer
ofpage integer

SQL: logger_clear
DELETE FROM t_logger;

-- ---- snapshots --------------------------------------------------------------

SQL: snapshot_alload
SELECT snp_no AS snapno, snp_time AS time, snp_msnno AS msnno, snp_pool AS pool,
       snp_name AS name, snp_snapname AS snapname, snp_size AS size
  FROM t_snapshot
 ORDER BY snp_no;

SQL: snapshot_loadby
SELECT snp_no AS snapno, snp_time AS time, snp_msnno AS msnno, snp_pool AS pool,
       snp_name AS name, snp_snapname AS snapname, snp_size AS size
  FROM t_snapshot
 WHERE snp_msnno = :msnno
 ORDER BY snp_no DESC;
params:
msnno integer

SQL: mission_append22
INSERT INTO t_snapshot (snp_time, snp_msnno, snp_pool, snp_name, snp_snapname, snp_size)
VALUES ((DATETIME(CURRENT_TIMESTAMP, 'localtime')), :msnno, :pool, :name, :snapname, :size);
params:
msnno integer
pool string
name string
snapname string
size integer
CREATE TABLE t_snapshot (
    snp_no       INTEGER PRIMARY KEY AUTOINCREMENT,
    snp_time     DATETIME DEFAULT (DATETIME(CURRENT_TIMESTAMP, 'localtime')),
    snp_msnno    INTEGER DEFAULT 0,
    snp_pool     TEXT DEFAULT '',
    snp_name     TEXT DEFAULT '',
    snp_snapname TEXT DEFAULT '',
    snp_size     INTEGER DEFAULT 0
);

-- ---- distributed hosts ------------------------------------------------------

SQL: dcshost_alload
SELECT dch_no AS hostno, dch_time AS time, dch_host AS host, dch_port AS port,
       dch_userid AS userid, dch_passwd AS passwd
  FROM t_dcshost
 ORDER BY dch_no;

SQL: dcshost_submit
INSERT OR REPLACE INTO t_dcshost (dch_no, dch_time, dch_host, dch_port, dch_userid, dch_passwd)
VALUES (:hostno, (DATETIME(CURRENT_TIMESTAMP, 'localtime')), :host, :port, :userid, :passwd);
params:
hostno integer
host string
port integer
userid string
passwd string

SQL: dcshost_append
INSERT INTO t_dcshost (dch_time, dch_host, dch_port, dch_userid, dch_passwd)
VALUES ((DATETIME(CURRENT_TIMESTAMP, 'localtime')), :host, :port, :userid, :passwd);
params:
host string
port integer
userid string
passwd string

SQL: dcshost_setaccount
UPDATE t_dcshost SET dch_userid = :userid, dch_passwd = :passwd WHERE dch_no = :hostno;
params:
hostno integer
userid string
passwd string

-- ---- distributed nodes ------------------------------------------------------

SQL: dcsnode_alload
SELECT dcn_no AS nodeno, dcn_time AS time, dcn_hostno AS hostno, dcn_name AS name,
       dcn_address AS address, dcn_state AS state, dcn_ready AS ready,
       dcn_attached AS attached, dcn_announced AS announced
  FROM t_dcsnode
 ORDER BY dcn_no;

SQL: dcsnode_acquit
SELECT dcn_no AS nodeno, dcn_time AS time, dcn_hostno AS hostno, dcn_name AS name,
       dcn_address AS address, dcn_state AS state, dcn_ready AS ready,
       dcn_attached AS attached, dcn_announced AS announced
  FROM t_dcsnode
 WHERE dcn_no = :nodeno
 LIMIT 1;
params:
nodeno integer

SQL: dcsnode_append
INSERT INTO t_dcsnode (dcn_time, dcn_hostno, dcn_name, dcn_address, dcn_state, dcn_ready, dcn_attached)
VALUES ((DATETIME(CURRENT_TIMESTAMP, 'localtime')), :hostno, :name, :address, 0, 0, 0);
params:
hostno integer
name string
address string

SQL: dcsnode_announce
UPDATE t_dcsnode
   SET dcn_address = :address, dcn_announced = (DATETIME(CURRENT_TIMESTAMP, 'localtime'))
 WHERE dcn_name = :name;
params:
name string
address string

SQL: dcsnode_change_state
UPDATE t_dcsnode SET dcn_state = :state WHERE dcn_no = :nodeno;
params:
nodeno integer
state integer

SQL: dcsnode_ready
UPDATE t_dcsnode SET dcn_ready = 1 WHERE dcn_no = :nodeno;
params:
nodeno integer

SQL: dcsnode_clear
DELETE FROM t_dcsnode;

SQL: dcsnode_attach
UPDATE t_dcsnode SET dcn_attached = 1 WHERE dcn_no = :nodeno;
params:
nodeno integer

SQL: dcsnode_detach
UPDATE t_dcsnode SET dcn_attached = 0 WHERE dcn_no = :nodeno;
params:
nodeno integer

-- ---- distributed gates ------------------------------------------------------

SQL: dcsgate_alload
SELECT dcg_no AS gateno, dcg_time AS time, dcg_nodeno AS nodeno, dcg_name AS name,
       dcg_address AS address, dcg_port AS port, dcg_onlined AS onlined
  FROM t_dcsgate
 ORDER BY dcg_no;

SQL: dcsgate_acquit
SELECT dcg_no AS gateno, dcg_time AS time, dcg_nodeno AS nodeno, dcg_name AS name,
       dcg_address AS address, dcg_port AS port, dcg_onlined AS onlined
  FROM t_dcsgate
 WHERE dcg_no = :gateno
 LIMIT 1;
params:
gateno integer

SQL: dcsgate_submit
INSERT OR REPLACE INTO t_dcsgate (dcg_no, dcg_time, dcg_nodeno, dcg_name, dcg_address, dcg_port, dcg_onlined)
VALUES (:gateno, (DATETIME(CURRENT_TIMESTAMP, 'localtime')), :nodeno, :name, :address, :port, :onlined);
params:
gateno integer
nodeno integer
name string
address string
port integer
onlined integer

SQL: dcsgate_append
INSERT INTO t_dcsgate (dcg_time, dcg_nodeno, dcg_name, dcg_address, dcg_port, dcg_onlined)
VALUES ((DATETIME(CURRENT_TIMESTAMP, 'localtime')), :nodeno, :name, :address, :port, 0);
params:
nodeno integer
name string
address string
port integer

SQL: dcsgate_change_onlined
UPDATE t_dcsgate SET dcg_onlined = :onlined WHERE dcg_no = :gateno;
params:
gateno integer
onlined integer

SQL: dcsgate_remove
DELETE FROM t_dcsgate WHERE dcg_no = :gateno;
params:
gateno integer

SQL: dcsgate_clear
DELETE FROM t_dcsgate;
