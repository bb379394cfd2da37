-- Added to a copy of the product's package: one more deferred step after the
-- service has been installed and started, which fails (cmd.exe exits with 3),
-- so that Windows Installer rolls the whole install back.
INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('TVRTestFailAtEnd', 3106, 'TARGETDIR', '"[System64Folder]cmd.exe" /c exit 3')
INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('TVRTestFailAtEnd', 5950)
