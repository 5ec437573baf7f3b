// The binding to the LabVIEW run-time's memory manager.
#pragma once
