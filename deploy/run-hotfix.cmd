@rem Starts run-hotfix.exe from this folder with the same arguments; its exit code is this script's.
@"%~dp0run-hotfix.exe" %*
