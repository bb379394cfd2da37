-- What the package needs beyond what wixl writes, applied to its tables one
-- statement a line ("--" lines are comments).
--
-- The event message file as REG_EXPAND_SZ (the "#%" prefix), the type Event
-- Viewer expects; wixl writes only plain strings.
UPDATE Registry SET Value='#%[#TVRSvc.exe]' WHERE Name='EventMessageFile'
-- Name "-": the event source's key itself goes at uninstall, not only its values.
INSERT INTO Registry (Registry, Root, `Key`, Name, Component_) VALUES ('EventSourceKey', 2, 'SYSTEM\CurrentControlSet\Services\EventLog\Application\TVRSvc', '-', 'Service')
--
-- The service entry is made and deleted by the executable itself, so that it
-- is exactly what "TVRSvc.exe -install" makes (the ServiceInstall table would
-- write the binary path without quotes). All run deferred, without
-- impersonation: as LocalSystem, which may change the service database.
-- Types: 18 = executable from the File table, 34 = executable by path;
-- +64 = ignore its exit code, +256 = rollback only, +1024 = deferred,
-- +2048 = no impersonation.
--
-- Uninstall (also of the old version in an upgrade): after StopServices has
-- stopped the service, before its file goes.
INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('TVRSvcRemove', 3154, 'TVRSvc.exe', '-remove')
-- Install: an entry left behind by a manual install is replaced, so that the
-- service runs the installed file.
INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('TVRSvcReplace', 3090, 'TVRSvc.exe', '-remove')
INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('TVRSvcInstall', 3090, 'TVRSvc.exe', '-install')
-- Rollback of a failed install deletes the entry. It runs the system's sc.exe,
-- not the executable: the rollback may already have removed the installed file
-- (Wine's does), and a delete needs nothing of it.
INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('TVRSvcInstallRollback', 3426, 'TARGETDIR', '"[System64Folder]sc.exe" delete TVRSvc')
--
-- The old version goes first, service and all, before anything of this one is
-- installed.
INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveExistingProducts', 1501)
INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('TVRSvcRemove', 'REMOVE="ALL"', 1910)
INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('TVRSvcInstallRollback', 'NOT REMOVE="ALL"', 4001)
INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('TVRSvcReplace', 'NOT REMOVE="ALL"', 4002)
INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('TVRSvcInstall', 'NOT REMOVE="ALL"', 4003)
