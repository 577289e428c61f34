# Detection rule for a device-management service: prints one line and exits 0
# only when this machine already holds what the package sets. Drift, a profile
# that could not be inspected (changes: null) or a package that cannot be read
# exit 1 without output, so the package counts as not installed. The JSON
# report is read rather than the exit code alone: lint warnings in the
# package make that 1 even when nothing would change.
$check   = 'C:\Program Files\Keymason\keymason-check.exe'
$package = 'C:\ProgramData\Vendor\vendor.reg.dat'

$report = & $check --verify --live --format json $package 2> $null | Out-String
try { $result = $report | ConvertFrom-Json } catch { exit 1 }
if ($result.verify -and $result.verify.changes -eq $false) {
    Write-Output "Keymason: $package is in place"
    exit 0
}
exit 1
