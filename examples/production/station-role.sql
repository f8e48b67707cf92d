-- The role a line's stations log in as: it takes numbers, claims pool values and puts units on
-- record, and nothing else. No DELETE anywhere, no schema changes, no access to other tables.
-- Run it as the store's owner, in the store's database, after `quillon-cli store init`:
--     psql "postgresql://owner@db.line/quillon" -f station-role.sql
-- then give the role a password (\password quillon_station) or a client certificate, and
-- point the stations at postgresql://quillon_station@db.line/quillon (the password in
-- ~/.pgpass or PGPASSWORD, never in the URL of a script).

DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'quillon_station') THEN
        CREATE ROLE quillon_station LOGIN;
    END IF;
    EXECUTE format('GRANT CONNECT ON DATABASE %I TO quillon_station', current_database());
END
$$;

GRANT USAGE ON SCHEMA public TO quillon_station;

-- The schema's version is read at every start, never written.
GRANT SELECT ON quillon_schema TO quillon_station;

-- A unit's record: inserted as taken, then its outcome columns only.
GRANT SELECT, INSERT ON units TO quillon_station;
GRANT UPDATE (result, failure, message, duration_ms, bytes_written, bytes_sha256) ON units TO quillon_station;

-- Numbers: a series is created on its first use and moves on; its limit stays the owner's.
GRANT SELECT, INSERT ON series TO quillon_station;
GRANT UPDATE (last) ON series TO quillon_station;

-- Pools: a value is claimed for a unit; loading values stays the owner's (store load-pool).
GRANT SELECT ON pool_values TO quillon_station;
GRANT UPDATE (unit_id, slot) ON pool_values TO quillon_station;
