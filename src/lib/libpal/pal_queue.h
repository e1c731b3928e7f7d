#pragma once
// (filled in by its module work)
